// Rendering as a host's audio thread asks for it: no faster than real time
// from a given frame on, so the engine thread has each block's time.
#pragma once

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace paced {

// Calls `process` (which appends a block to `out`) until `out` holds
// `seconds` of audio at `rate`, paced from frame `from` on.
template <typename Process>
void renderUntil(std::vector<float>& out, size_t from, double seconds, double rate, Process&& process) {
  const auto start = std::chrono::steady_clock::now();
  while (out.size() < size_t(seconds * rate)) {
    process();
    const double ahead = (double(out.size()) - double(from)) / rate;
    std::this_thread::sleep_until(start + std::chrono::microseconds(long(ahead * 1e6)));
  }
}

}  // namespace paced
