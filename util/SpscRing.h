// Lock-free single-producer/single-consumer ring of float samples (or of any
// plain values, SpscRingOf): one thread writes, one other thread reads, and
// neither side locks, waits or allocates after construction. Either side may
// be a real-time thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

template <typename T>
class SpscRingOf {
  static_assert(std::is_trivially_copyable_v<T>, "values are copied as bytes");

 public:
  // capacityPow2 must be a power of two.
  explicit SpscRingOf(size_t capacityPow2)
      : m_cap(capacityPow2), m_mask(capacityPow2 - 1), m_buf(new T[capacityPow2]) {}

  size_t capacity() const { return m_cap; }

  // Producer side.
  size_t freeSpace() const {
    return m_cap - size_t(m_write.load(std::memory_order_relaxed) - m_read.load(std::memory_order_acquire));
  }
  size_t write(const T* src, size_t n) {
    const uint64_t w = m_write.load(std::memory_order_relaxed);
    n = std::min(n, freeSpace());
    const size_t at = size_t(w & m_mask);
    const size_t first = std::min(n, m_cap - at);
    std::memcpy(m_buf.get() + at, src, first * sizeof(T));
    std::memcpy(m_buf.get(), src + first, (n - first) * sizeof(T));
    m_write.store(w + n, std::memory_order_release);
    return n;
  }
  // Everything written so far becomes stale: the consumer skips it. Callable
  // from any thread; the mark only moves forward.
  void discardWritten() {
    const uint64_t w = m_write.load(std::memory_order_acquire);
    uint64_t d = m_discard.load(std::memory_order_relaxed);
    while (d < w && !m_discard.compare_exchange_weak(d, w, std::memory_order_release, std::memory_order_relaxed)) {
    }
  }

  // Consumer side.
  size_t read(T* dst, size_t n) {
    uint64_t r = m_read.load(std::memory_order_relaxed);
    // Load the discard mark before the write index: the mark never passes it.
    const uint64_t d = m_discard.load(std::memory_order_acquire);
    const uint64_t w = m_write.load(std::memory_order_acquire);
    if (d > r) r = d;
    n = std::min(n, size_t(w - r));
    const size_t at = size_t(r & m_mask);
    const size_t first = std::min(n, m_cap - at);
    std::memcpy(dst, m_buf.get() + at, first * sizeof(T));
    std::memcpy(dst + first, m_buf.get(), (n - first) * sizeof(T));
    m_read.store(r + n, std::memory_order_release);
    return n;
  }
  // Consumer side: drops everything before `pos` (a write index the producer
  // reported), or everything written so far if that is less.
  void skipTo(uint64_t pos) {
    const uint64_t w = m_write.load(std::memory_order_acquire);
    const uint64_t r = m_read.load(std::memory_order_relaxed);
    const uint64_t to = std::min(pos, w);
    if (to > r) m_read.store(to, std::memory_order_release);
  }
  // Consumer side: the index of the next sample read() would return.
  uint64_t readIndex() const {
    return std::max(m_read.load(std::memory_order_relaxed), m_discard.load(std::memory_order_acquire));
  }
  // Where the next written sample goes; producer side, or for the consumer as
  // a bound of what has been written.
  uint64_t writeIndex() const { return m_write.load(std::memory_order_acquire); }
  size_t readable() const {
    const uint64_t r = std::max(m_read.load(std::memory_order_acquire), m_discard.load(std::memory_order_acquire));
    const uint64_t w = m_write.load(std::memory_order_acquire);
    return w > r ? size_t(w - r) : 0;
  }

 private:
  const size_t m_cap;
  const size_t m_mask;
  std::unique_ptr<T[]> m_buf;
  alignas(64) std::atomic<uint64_t> m_write{0};
  alignas(64) std::atomic<uint64_t> m_read{0};
  alignas(64) std::atomic<uint64_t> m_discard{0};
};

// The audio sample ring; a class of its own so that it can be declared ahead.
class SpscRing : public SpscRingOf<float> {
 public:
  using SpscRingOf<float>::SpscRingOf;
};
