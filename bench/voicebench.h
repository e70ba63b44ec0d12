// The baseline the plug-in formats' process benchmarks share: one
// utterance timed block by block at about real-time pace, and the same voice
// (VoiceController) rendered directly in a child process of the benchmark's
// own program (its --direct side).
// Threads: the benchmark's one thread.
#pragma once

#include "VoiceController.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace voicebench {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 48000;
constexpr uint32_t kBlock = 256;
inline const char kText[] =
    "Speech synthesis turns written text into sound. This sentence keeps the voice busy for a while, so that "
    "every block can be timed while audio is still being produced.";

// The command line both benchmarks take: --quick (one round), --runs N,
// and --direct (the baseline side, in a child). False after a usage line.
struct Options {
  bool quick = false, direct = false;
  int rounds = 7;
};
inline bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      o.quick = true;
      o.rounds = 1;
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--direct") == 0) {
      o.direct = true;
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--runs N]\n", argv[0]);
      return false;
    }
  }
  return true;
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

inline bool audible(const float* x) {
  for (uint32_t i = 0; i < kBlock; ++i)
    if (std::fabs(x[i]) > 1e-3f) return true;
  return false;
}

// One utterance, timed block by block at about real-time pace: the
// nanoseconds of each block in which the voice spoke. `block` renders one
// block into `out` and returns its time.
template <typename Block>
inline std::vector<double> timeUtterance(bool quick, const float* out, Block block) {
  std::vector<double> ns;
  const auto start = Clock::now();
  // Until 40 quiet blocks in a row once it has spoken; a voice that never
  // starts is given up after 20 s.
  for (int quiet = 0; quiet < 40 && (!ns.empty() || Clock::now() - start < std::chrono::seconds(20));) {
    const double t = block();
    if (audible(out)) {
      ns.push_back(t);
      quiet = 0;
    } else if (!ns.empty()) {
      ++quiet;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(quick ? 200 : 2000));
  }
  return ns;
}

inline double nsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
}

// The baseline, in a process of its own: the plug-in carries its own copy of
// the engine, and the baseline is measured without the plug-in's engine
// thread and synthesis process running beside it.
inline int directSide(bool quick) {
  VoiceController voice(nullptr);
  if (!voice.start(kRate)) return 1;
  float out[kBlock];
  voice.setText(kText, sizeof kText - 1);
  voice.play();
  const std::vector<double> ns = timeUtterance(quick, out, [&] {
    const auto t0 = Clock::now();
    voice.render(out, kBlock);
    return nsSince(t0);
  });
  voice.stop();
  std::printf("direct %zu %.1f\n", ns.size(), median(ns));
  return 0;
}

// Runs this program's baseline side once; its median in ns, or -1.
inline double runDirect(bool quick, size_t* blocks) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return -1;
  exe[n] = 0;
  const std::string command = std::string("'") + exe + "' --direct" + (quick ? " --quick" : "");
  FILE* child = popen(command.c_str(), "r");
  if (!child) return -1;
  double ns = -1;
  if (std::fscanf(child, "direct %zu %lf", blocks, &ns) != 2) ns = -1;
  return pclose(child) == 0 ? ns : -1;
}

}  // namespace voicebench
