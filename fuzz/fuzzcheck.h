// Invariant checks for the fuzz targets: a violation aborts, so libFuzzer
// reports the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void require(bool ok, const char* what) {
  if (!ok) fail(what);
}

// Reads a fuzz input a piece at a time; zeros once it runs out.
class FuzzBytes {
 public:
  FuzzBytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool more() const { return m_at < m_size; }
  uint8_t next() { return m_at < m_size ? m_data[m_at++] : 0; }
  uint32_t next32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(next()) << (8 * i);
    return v;
  }
  float nextFloat() {
    const uint32_t r = next32();
    float f;
    std::memcpy(&f, &r, sizeof f);
    return f;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};
