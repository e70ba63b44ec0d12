// The one way our entry points keep exceptions in: whatever is called from a
// host, from a plug-in format's dispatch or from Qt's event loop goes through
// here, because an exception crossing those frames ends the host's process.
#pragma once

#include <new>

namespace glimm {

// Runs f; anything it throws stops here. For entry points whose failure has
// already been reported, or that have nothing to report it to.
template <typename F>
void atBoundary(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

// Runs f and returns what it returns; onNoMemory when it ran out of memory,
// onError for anything else it threw.
template <typename R, typename F>
R atBoundary(F&& f, R onError, R onNoMemory) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return onNoMemory;
  } catch (...) {
    return onError;
  }
}

template <typename R, typename F>
R atBoundary(F&& f, R onError) noexcept {
  return atBoundary(static_cast<F&&>(f), onError, onError);
}

}  // namespace glimm
