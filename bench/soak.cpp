// Soak: the speech unit speaks and sings without pause for a given time, in
// real time, with its parameters automated from the render thread and its
// text, switches and play requests changed from a control thread, as a host
// session would. Reports resident memory over time, render-call time (p99
// and max, wall and the thread's own CPU time, against the same call on a
// silent unit measured first in this run) and late blocks: blocks whose
// render returned after the moment the next one was due. The render thread
// asks for real-time scheduling as hosts' audio threads have; without it a
// busy machine's preemption shows up as wall time and late blocks.
//   soak [--seconds S]      (default 60; not part of the test suite)
#include "SpeechUnitHarness.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 48000;
constexpr UInt32 kBlock = 256;

double rssMiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

double threadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

struct Blocks {
  // Sized before the run: filling reserved pages would itself grow RSS.
  std::vector<double> renderUs, cpuUs;
  long count = 0, late = 0, heard = 0;
};

// Renders `seconds` in real time; `automate` runs inside each block's slot.
template <typename Automate>
Blocks renderRealTime(AudioUnit u, double seconds, Automate automate, const std::atomic<bool>* stop = nullptr) {
  Blocks b;
  std::vector<float> left(kBlock), right(kBlock);
  const long blocks = long(seconds * kRate / kBlock);
  b.renderUs.assign(size_t(blocks), 0.0);
  b.cpuUs.assign(size_t(blocks), 0.0);
  const auto period = std::chrono::duration<double>(kBlock / kRate);
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < blocks && !(stop && *stop); ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(period * double(i));
    std::this_thread::sleep_until(due);
    automate(i);
    const double c0 = threadCpuUs();
    const Clock::time_point t0 = Clock::now();
    b.heard += harness::renderBlock(u, left, right, kBlock);
    const Clock::time_point t1 = Clock::now();
    b.cpuUs[size_t(i)] = threadCpuUs() - c0;
    b.renderUs[size_t(i)] = std::chrono::duration<double, std::micro>(t1 - t0).count();
    ++b.count;
    if (t1 > due + std::chrono::duration_cast<Clock::duration>(period)) ++b.late;
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
  if (std::getenv("GLIMM_SOAK_QUICK") || (argc > 1 && !std::strcmp(argv[1], "--quick"))) seconds = 5;
  void* module = dlopen(GLIMM_SPEECH_UNIT_PATH, RTLD_NOW | RTLD_LOCAL);
  AudioUnit u = module ? harness::newUnit(kRate, 2) : nullptr;
  if (!u) {
    std::fprintf(stderr, "cannot load the speech unit: %s\n", module ? "no instance" : dlerror());
    return 1;
  }

  sched_param rt{};
  rt.sched_priority = 10;
  const bool realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;

  // Baseline: the same render call on a silent unit.
  const Blocks idle = renderRealTime(u, 3.0, [](long) {});

  const char* texts[] = {"The quick brown fox jumps over the lazy dog.",
                         "Speech synthesis turns written text into sound, one chunk after another.",
                         "la la la, la la la la", "Numbers: 1, 22, 333, 4444.",
                         "\xC3\x89t\xC3\xA9 \xC3\xA0 la plage, \xE2\x82\xAC 42."};
  std::atomic<bool> done{false};
  std::thread control([&] {
    std::mt19937 rng(3);
    for (long round = 0; !done; ++round) {
      harness::setText(u, texts[rng() % std::size(texts)]);
      if (round % 7 == 3) harness::setParam(u, kGlimmParam_SingMode, float(rng() % 2));
      harness::play(u);
      // A new utterance about every 1.5 s, so speech never stops for long.
      for (int i = 0; i < 15 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  std::mt19937 rng(9);
  std::vector<std::pair<double, double>> rss;  // (seconds, MiB)
  const long perTenSeconds = long(10 * kRate / kBlock);
  rss.emplace_back(0.0, rssMiB());
  const Blocks run = renderRealTime(u, seconds, [&](long i) {
    if (i % 25 == 0)
      AudioUnitSetParameter(u, AudioUnitParameterID(rng() % 4), kAudioUnitScope_Global, 0, float(rng() % 256), 0);
    if (i % 90 == 45) MusicDeviceMIDIEvent(u, 0x90, 48 + rng() % 24, 100, 0);
    if (i % perTenSeconds == perTenSeconds - 1) rss.emplace_back(double(i + 1) * kBlock / kRate, rssMiB());
  });
  done = true;
  control.join();
  rss.emplace_back(seconds, rssMiB());

  double atMinute = rss.front().second;
  for (const auto& [t, m] : rss)
    if (t <= 60.0) atMinute = m;
  const double growth = rss.back().second - atMinute;
  const double p99 = percentile(run.renderUs, 0.99), p99Idle = percentile(idle.renderUs, 0.99);
  const double maxUs = run.renderUs.empty() ? 0 : *std::max_element(run.renderUs.begin(), run.renderUs.end());
  const double maxIdle = idle.renderUs.empty() ? 0 : *std::max_element(idle.renderUs.begin(), idle.renderUs.end());
  const double cpuP99 = percentile(run.cpuUs, 0.99), cpuP99Idle = percentile(idle.cpuUs, 0.99);
  const double cpuMax = run.cpuUs.empty() ? 0 : *std::max_element(run.cpuUs.begin(), run.cpuUs.end());
  const double cpuMaxIdle = idle.cpuUs.empty() ? 0 : *std::max_element(idle.cpuUs.begin(), idle.cpuUs.end());
  const double budgetUs = 1e6 * kBlock / kRate;

  std::printf("# soak: %.0f s of audio in real time, %ld blocks of %u frames, %ld with sound; render thread %s\n",
              seconds, run.count, kBlock, run.heard, realtime ? "SCHED_FIFO 10" : "not real-time (refused)");
  std::printf("# RSS (MiB) over time:");
  for (const auto& [t, m] : rss) std::printf(" %.0fs=%.2f", t, m);
  std::printf("\n");
  std::printf("row|soak|RSS growth after the first minute (MiB)|%.3f|-|-|<= 1|%s\n", growth,
              growth <= 1.0 ? "met" : "MISSED");
  std::printf("row|soak|render call p99 (us)|%.2f|%.2f|%.2f|-|-\n", p99, p99Idle, p99Idle > 0 ? p99 / p99Idle : -1);
  std::printf("row|soak|render call max (us)|%.2f|%.2f|%.2f|< %.0f (block)|%s\n", maxUs, maxIdle,
              maxIdle > 0 ? maxUs / maxIdle : -1, budgetUs, maxUs < budgetUs ? "met" : "MISSED");
  std::printf("row|soak|render call CPU p99 (us)|%.2f|%.2f|%.2f|-|-\n", cpuP99, cpuP99Idle,
              cpuP99Idle > 0 ? cpuP99 / cpuP99Idle : -1);
  std::printf("row|soak|render call CPU max (us)|%.2f|%.2f|%.2f|< %.0f (block)|%s\n", cpuMax, cpuMaxIdle,
              cpuMaxIdle > 0 ? cpuMax / cpuMaxIdle : -1, budgetUs, cpuMax < budgetUs ? "met" : "MISSED");
  std::printf("row|soak|late blocks|%ld|%ld|-|0|%s\n", run.late, idle.late, run.late == 0 ? "met" : "MISSED");
  AudioComponentInstanceDispose(u);
  return 0;
}
