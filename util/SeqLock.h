// A value handed from one writer thread to any number of readers without a
// lock: the writer never waits, a reader sees either a whole value or learns
// that it raced a write and tries again later. Neither side allocates or makes
// a system call, so both may be real-time threads.
//
// The value travels as relaxed atomic words under a sequence count that is odd
// while a write is in progress (a plain struct copy would be a data race).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace glimm {

template <typename T>
class SeqLock {
  static_assert(std::is_trivially_copyable_v<T>, "values are copied as bytes");
  static constexpr size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);

 public:
  SeqLock() {
    for (auto& w : m_words) w.store(0, std::memory_order_relaxed);
  }

  // The one writer thread.
  void store(const T& value) {
    uint64_t words[kWords] = {};
    std::memcpy(words, &value, sizeof(T));
    const uint32_t seq = m_seq.load(std::memory_order_relaxed);
    m_seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (size_t i = 0; i < kWords; ++i) m_words[i].store(words[i], std::memory_order_relaxed);
    m_seq.store(seq + 2, std::memory_order_release);
  }

  // Any thread. False when a write was in progress or came in between;
  // `seq`, when given, receives the count the value was published under.
  bool tryLoad(T& out, uint32_t* seq = nullptr) const {
    const uint32_t before = m_seq.load(std::memory_order_acquire);
    if (before & 1) return false;
    uint64_t words[kWords];
    for (size_t i = 0; i < kWords; ++i) words[i] = m_words[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (m_seq.load(std::memory_order_relaxed) != before) return false;
    std::memcpy(&out, words, sizeof(T));
    if (seq) *seq = before;
    return true;
  }

  // Any thread but a real-time one: waits out a write in progress, yielding.
  T load() const {
    T out;
    while (!tryLoad(out)) std::this_thread::yield();
    return out;
  }

  // Any thread: the count of the last publication, odd while one is written.
  // It grows by two per store.
  uint32_t sequence() const { return m_seq.load(std::memory_order_acquire); }

 private:
  std::atomic<uint32_t> m_seq{0};
  std::atomic<uint64_t> m_words[kWords];
};

}  // namespace glimm
