// Invariant checks for the fuzz targets: a violation aborts, so libFuzzer
// reports the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void require(bool ok, const char* what) {
  if (!ok) fail(what);
}
