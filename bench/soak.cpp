// Soak: the instrument speaks and sings without pause for a given time, in
// real time, as a host session would: the speech unit (Audio Unit) with its
// parameters automated from the render thread and its text, switches and play
// requests changed from a control thread; the LV2 plug-in, loaded through
// lilv, with the same changes as events and control ports written by the
// host's audio thread before each run(). Reports resident memory over time,
// render-call time (p99 and max, wall and the thread's own CPU time, against
// the same call on a silent instance measured first in this run) and late
// blocks: blocks whose render returned after the moment the next one was due.
// The render thread asks for real-time scheduling as hosts' audio threads
// have; without it a busy machine's preemption shows up as wall time and late
// blocks. Each format runs in a process of its own: the plug-in carries its
// own copy of the engine (its own worker thread and synthesis process), and
// each format's memory is measured without the other's.
//   soak [--seconds S] [--format au|lv2]   (default 60 s each, both formats;
//                                            not part of the test suite)
#include "Lv2TestHost.h"
#include "ProcessProbe.h"
#include "SpeechUnitHarness.h"

#include <sys/wait.h>

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

// Resident memory of a process (this one by default), in MiB; 0 when gone.
double rssMiB(pid_t pid = 0) {
  long pages = 0, resident = 0;
  const std::string statm = pid ? "/proc/" + std::to_string(pid) + "/statm" : "/proc/self/statm";
  if (FILE* f = std::fopen(statm.c_str(), "r")) {
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

// Renders `seconds` in real time: each block's slot runs `automate(i)`, then
// the timed `render()`, which says whether the block had sound.
template <typename Render, typename Automate>
Blocks renderRealTime(double seconds, Render render, Automate automate) {
  Blocks b;
  const long blocks = long(seconds * kRate / kBlock);
  b.renderUs.assign(size_t(blocks), 0.0);
  b.cpuUs.assign(size_t(blocks), 0.0);
  const auto period = std::chrono::duration<double>(kBlock / kRate);
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < blocks; ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(period * double(i));
    std::this_thread::sleep_until(due);
    automate(i);
    const double c0 = threadCpuUs();
    const Clock::time_point t0 = Clock::now();
    b.heard += render();
    const Clock::time_point t1 = Clock::now();
    b.cpuUs[size_t(i)] = threadCpuUs() - c0;
    b.renderUs[size_t(i)] = std::chrono::duration<double, std::micro>(t1 - t0).count();
    ++b.count;
    if (t1 > due + std::chrono::duration_cast<Clock::duration>(period)) ++b.late;
  }
  return b;
}

// The synthesis processes (children of this one) together, in MiB.
double childrenRssMiB() {
  double sum = 0;
  for (const auto& [pid, state] : probe::children())
    if (state != 'Z') sum += rssMiB(pid);
  return sum;
}

// Resident memory of this process and of its synthesis process every ten
// seconds of audio, from the start of the soak.
class RssTrack {
 public:
  struct Sample {
    double seconds, self, child;  // MiB
  };
  RssTrack() { take(0.0); }
  void atBlock(long i) {
    const long perTenSeconds = long(10 * kRate / kBlock);
    if (i % perTenSeconds == perTenSeconds - 1) take(double(i + 1) * kBlock / kRate);
  }
  void end(double seconds) { take(seconds); }
  const std::vector<Sample>& samples() const { return m_samples; }

  // The trend after the first minute, in MiB an hour: a least-squares line
  // through every sample from then on, so that the allocator taking and
  // returning memory in steps does not decide the figure as a single pair of
  // samples would. NaN when fewer than three samples follow the first minute.
  double slopePerHour(double Sample::*field) const {
    std::vector<const Sample*> use;
    for (const Sample& x : m_samples)
      if (x.seconds >= 60.0) use.push_back(&x);
    if (use.size() < 3) return std::nan("");
    double mt = 0, mm = 0;
    for (const Sample* x : use) mt += x->seconds, mm += x->*field;
    mt /= double(use.size()), mm /= double(use.size());
    double cov = 0, var = 0;
    for (const Sample* x : use) {
      cov += (x->seconds - mt) * (x->*field - mm);
      var += (x->seconds - mt) * (x->seconds - mt);
    }
    return var > 0 ? cov / var * 3600.0 : 0.0;
  }

 private:
  void take(double seconds) { m_samples.push_back({seconds, rssMiB(), childrenRssMiB()}); }
  std::vector<Sample> m_samples;
};

double maxOf(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

void report(const char* name, const char* what, double seconds, const Blocks& run, const Blocks& idle,
            const RssTrack& rss, bool realtime) {
  double atMinute = rss.samples().front().self;
  for (const RssTrack::Sample& x : rss.samples())
    if (x.seconds <= 60.0) atMinute = x.self;
  const double growth = rss.samples().back().self - atMinute;
  const double slope = rss.slopePerHour(&RssTrack::Sample::self);
  const double childSlope = rss.slopePerHour(&RssTrack::Sample::child);
  const double p99 = percentile(run.renderUs, 0.99), p99Idle = percentile(idle.renderUs, 0.99);
  const double maxUs = maxOf(run.renderUs), maxIdle = maxOf(idle.renderUs);
  const double cpuP99 = percentile(run.cpuUs, 0.99), cpuP99Idle = percentile(idle.cpuUs, 0.99);
  const double cpuMax = maxOf(run.cpuUs), cpuMaxIdle = maxOf(idle.cpuUs);
  const double budgetUs = 1e6 * kBlock / kRate;

  std::printf("# %s: %s, %.0f s of audio in real time, %ld blocks of %u frames, %ld with sound; render thread %s\n",
              name, what, seconds, run.count, kBlock, run.heard,
              realtime ? "SCHED_FIFO 10" : "not real-time (refused)");
  std::printf("# %s: RSS (MiB) over time, this process + its synthesis process:", name);
  for (const RssTrack::Sample& x : rss.samples()) std::printf(" %.0fs=%.2f+%.2f", x.seconds, x.self, x.child);
  std::printf("\n");
  std::printf("row|%s|RSS growth after the first minute (MiB, last sample against the one at 60 s)|%.3f|-|-|-|-\n",
              name, growth);
  auto verdict = [](double v) { return std::isnan(v) ? "run >= 90 s" : v <= 1.0 ? "met" : "MISSED"; };
  std::printf("row|%s|RSS trend after the first minute (MiB/hour, fit)|%.3f|-|-|<= 1|%s\n", name, slope,
              verdict(slope));
  std::printf("row|%s|synthesis process RSS trend (MiB/hour, fit)|%.3f|-|-|<= 1|%s\n", name, childSlope,
              verdict(childSlope));
  std::printf("row|%s|render call p99 (us)|%.2f|%.2f|%.2f|-|-\n", name, p99, p99Idle, p99Idle > 0 ? p99 / p99Idle : -1);
  std::printf("row|%s|render call max (us)|%.2f|%.2f|%.2f|< %.0f (block)|%s\n", name, maxUs, maxIdle,
              maxIdle > 0 ? maxUs / maxIdle : -1, budgetUs, maxUs < budgetUs ? "met" : "MISSED");
  std::printf("row|%s|render call CPU p99 (us)|%.2f|%.2f|%.2f|-|-\n", name, cpuP99, cpuP99Idle,
              cpuP99Idle > 0 ? cpuP99 / cpuP99Idle : -1);
  std::printf("row|%s|render call CPU max (us)|%.2f|%.2f|%.2f|< %.0f (block)|%s\n", name, cpuMax, cpuMaxIdle,
              cpuMaxIdle > 0 ? cpuMax / cpuMaxIdle : -1, budgetUs, cpuMax < budgetUs ? "met" : "MISSED");
  std::printf("row|%s|late blocks|%ld|%ld|-|0|%s\n", name, run.late, idle.late, run.late == 0 ? "met" : "MISSED");
  std::fflush(stdout);
}

const char* const kTexts[] = {"The quick brown fox jumps over the lazy dog.",
                              "Speech synthesis turns written text into sound, one chunk after another.",
                              "la la la, la la la la", "Numbers: 1, 22, 333, 4444.",
                              "\xC3\x89t\xC3\xA9 \xC3\xA0 la plage, \xE2\x82\xAC 42."};
// A new utterance about every 1.5 s, so speech never stops for long.
constexpr long kUtteranceBlocks = long(1.5 * kRate / kBlock);

int soakAudioUnit(double seconds, bool realtime) {
  harness::LoadedUnit loaded;
  if (!loaded.load(GLIMM_SPEECH_UNIT_PATH, kRate)) {
    std::fprintf(stderr, "cannot load the speech unit: %s\n", loaded.error.c_str());
    return 1;
  }
  AudioUnit u = loaded.unit;
  std::vector<float> left(kBlock), right(kBlock);
  const auto render = [&] { return harness::renderBlock(u, left, right, kBlock); };

  // Baseline: the same render call on a silent unit.
  const Blocks idle = renderRealTime(3.0, render, [](long) {});

  std::atomic<bool> done{false};
  std::thread control([&] {
    std::mt19937 rng(3);
    for (long round = 0; !done; ++round) {
      harness::setText(u, kTexts[rng() % std::size(kTexts)]);
      if (round % 7 == 3) harness::setParam(u, kGlimmParam_SingMode, float(rng() % 2));
      harness::play(u);
      for (int i = 0; i < 15 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  std::mt19937 rng(9);
  RssTrack rss;
  const Blocks run = renderRealTime(seconds, render, [&](long i) {
    if (i % 25 == 0)
      AudioUnitSetParameter(u, AudioUnitParameterID(rng() % 4), kAudioUnitScope_Global, 0, float(rng() % 256), 0);
    if (i % 90 == 45) MusicDeviceMIDIEvent(u, 0x90, 48 + rng() % 24, 100, 0);
    rss.atBlock(i);
  });
  done = true;
  control.join();
  rss.end(seconds);
  report("soak", "Audio Unit", seconds, run, idle, rss, realtime);
  return 0;
}

int soakLv2(double seconds, bool realtime) {
  const LilvPlugin* plugin = lv2host::world().plugin;
  if (!plugin) {
    std::fprintf(stderr, "cannot find %s under %s\n", GLIMM_LV2_URI, GLIMM_LV2_BUILD_PATH);
    return 1;
  }
  lv2host::RealTimeWorker worker;
  const lv2host::Features features(nullptr, &worker.schedule);
  LilvInstance* inst = lilv_plugin_instantiate(plugin, kRate, features.get());
  if (!inst) {
    std::fprintf(stderr, "cannot instantiate %s\n", GLIMM_LV2_URI);
    return 1;
  }
  worker.start(inst);
  lv2host::Ports<> ports(kBlock);
  ports.connect(lv2host::lilvConnect(inst));
  lilv_instance_activate(inst);
  lv2host::SequenceWriter events;
  const LV2_URID text = lv2host::urid(GLIMM_LV2_TEXT_URI), speak = lv2host::urid(GLIMM_LV2_SPEAK_URI);

  const auto render = [&] {
    lilv_instance_run(inst, kBlock);
    return std::any_of(ports.out.begin(), ports.out.end(), [](float s) { return s != 0.0f; });
  };
  // Every block's sequence is written, and the notify buffer offered, outside the timed run().
  const auto nothing = [&](long) {
    events.begin(ports.control->bytes, ports.control->kCapacity);
    events.end();
    ports.notify->offer();
  };

  // Baseline: the same run() on a silent instance.
  const Blocks idle = renderRealTime(3.0, render, nothing);

  // The Audio Unit's control thread, as events: a text and a speak request
  // every utterance, now and then the sing switch; parameters and notes as there.
  std::mt19937 control(3), rng(9);
  RssTrack rss;
  const Blocks run = renderRealTime(seconds, render, [&](long i) {
    events.begin(ports.control->bytes, ports.control->kCapacity);
    const long round = i / kUtteranceBlocks;
    if (i % kUtteranceBlocks == 0) {
      events.setString(text, kTexts[control() % std::size(kTexts)]);
      if (round % 7 == 3) ports.params[kGlimmParam_SingMode] = float(control() % 2);
      events.setString(speak, "");
    }
    if (i % 25 == 0) ports.params[rng() % 4] = float(rng() % 256);
    if (i % 90 == 45) events.midi(0x90, uint8_t(48 + rng() % 24), 100);
    events.end();
    ports.notify->offer();
    rss.atBlock(i);
  });
  rss.end(seconds);
  lilv_instance_deactivate(inst);
  worker.stop();  // before the instance goes
  lilv_instance_free(inst);
  report("soak_lv2", "LV2 plug-in", seconds, run, idle, rss, realtime);
  std::printf("# soak_lv2: %ld worker jobs done, %ld refused (a full ring)\n", worker.worked(), worker.refused());
  return worker.refused() == 0 ? 0 : 1;
}

// Runs this program again for one format, its output passed through.
int runFormat(const char* format, double seconds) {
  const std::string secs = std::to_string(seconds);
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    execl("/proc/self/exe", "soak", "--seconds", secs.c_str(), "--format", format, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "soak --format %s failed\n", format);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  const char* format = nullptr;
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--format")) format = argv[i + 1];
  }
  if (std::getenv("GLIMM_SOAK_QUICK") || (argc > 1 && !std::strcmp(argv[1], "--quick"))) seconds = 5;
  if (!format) {
    std::fflush(stdout);
    const int au = runFormat("au", seconds);
    return runFormat("lv2", seconds) || au;
  }

  sched_param rt{};
  rt.sched_priority = 10;
  const bool realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;
  if (!std::strcmp(format, "au")) return soakAudioUnit(seconds, realtime);
  if (!std::strcmp(format, "lv2")) return soakLv2(seconds, realtime);
  std::fprintf(stderr, "usage: %s [--seconds S] [--format au|lv2]\n", argv[0]);
  return 2;
}
