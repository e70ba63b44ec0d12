// A bounded queue that any number of threads push into and one thread pops
// from, without a lock: a push that finds the queue full fails instead of
// waiting. Neither side allocates or makes a system call, so the consumer (and
// any producer) may be a real-time thread.
//
// Each slot carries a sequence count that tells a producer when the slot is
// free and the consumer when it is filled.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace glimm {

template <typename T, uint32_t N>
class MpscQueue {
  static_assert(std::is_trivially_copyable_v<T>, "values are copied as bytes");
  static_assert(N > 0 && (N & (N - 1)) == 0, "the capacity is a power of two");

 public:
  MpscQueue() {
    for (uint32_t i = 0; i < N; ++i) m_slots[i].seq.store(i, std::memory_order_relaxed);
  }

  // Any thread. False when full.
  bool push(const T& value) {
    uint32_t pos = m_head.load(std::memory_order_relaxed);
    for (;;) {
      Slot& slot = m_slots[pos % N];
      const int32_t diff = int32_t(slot.seq.load(std::memory_order_acquire) - pos);
      if (diff == 0) {
        if (m_head.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
          slot.value = value;
          slot.seq.store(pos + 1, std::memory_order_release);
          return true;
        }
      } else if (diff < 0) {
        return false;
      } else {
        pos = m_head.load(std::memory_order_relaxed);
      }
    }
  }

  // The consumer thread only. False when nothing (whole) is waiting.
  bool pop(T& out) {
    Slot& slot = m_slots[m_tail % N];
    if (slot.seq.load(std::memory_order_acquire) != m_tail + 1) return false;
    out = slot.value;
    slot.seq.store(m_tail + N, std::memory_order_release);
    ++m_tail;
    return true;
  }

 private:
  struct Slot {
    std::atomic<uint32_t> seq;
    T value;
  };
  Slot m_slots[N];
  std::atomic<uint32_t> m_head{0};
  uint32_t m_tail = 0;  // consumer
};

}  // namespace glimm
