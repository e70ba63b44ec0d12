// Playing the speech unit from a keyboard, in real time as a host's audio
// thread would: 256-frame blocks at 48 kHz, one per period, note-ons at
// varying offsets inside their blocks.
//  - note-on to the first audible frame (above -60 dBFS), in frames, median
//    and 99th percentile, against one block;
//  - the render call's time while notes sing, and while one key holds its
//    vowel for seconds, against the same calls on the same unit with no note.
// Prints table rows for bench/run.sh.
#include "SpeechUnitHarness.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 48000;
constexpr UInt32 kBlock = 256;

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

struct Run {
  std::vector<double> delays;    // frames, one per note
  std::vector<double> renderUs;  // one per block
  size_t missed = 0;             // notes without sound
};

// Renders `notes` notes (or, with notes == 0, the same span of silence) paced
// in real time.
Run play(AudioUnit u, int notes, int blocksPerNote) {
  Run run;
  std::vector<float> l, r;
  const auto period = std::chrono::nanoseconds(long(1e9 * kBlock / kRate));
  auto next = Clock::now();
  uint32_t seed = 12345;
  const int total = std::max(notes, 40) * blocksPerNote;
  long pendingEvent = -1;  // frame of the note-on still waiting for its sound
  for (int b = 0; b < total; ++b) {
    const long blockStart = long(b) * kBlock;
    const int inNote = b % blocksPerNote;
    if (notes > 0 && b / blocksPerNote < notes) {
      if (inNote == 0) {
        seed = seed * 1664525u + 1013904223u;
        const UInt32 offset = (seed >> 8) % kBlock;
        const UInt32 note = 48 + (seed >> 20) % 25;
        if (pendingEvent >= 0) ++run.missed;
        MusicDeviceMIDIEvent(u, 0x90, note, 100, offset);
        pendingEvent = blockStart + long(offset);
      } else if (inNote == blocksPerNote / 2) {
        MusicDeviceMIDIEvent(u, 0xB0, 123, 0, 0);  // all notes off: the next note starts from silence
      }
    }
    const auto t0 = Clock::now();
    harness::renderBlock(u, l, r, kBlock);
    run.renderUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (pendingEvent >= 0)
      for (UInt32 i = 0; i < kBlock; ++i)
        if (std::fabs(l[i]) > 1e-3f && blockStart + long(i) >= pendingEvent) {
          run.delays.push_back(double(blockStart + long(i) - pendingEvent));
          pendingEvent = -1;
          break;
        }
    next += period;
    std::this_thread::sleep_until(next);
  }
  if (pendingEvent >= 0) ++run.missed;
  return run;
}

// One key held `seconds` at real-time pace: the render calls' times once the
// vowel is being held (after its first half second).
std::vector<double> hold(AudioUnit u, double seconds) {
  std::vector<float> l, r;
  std::vector<double> us;
  const auto period = std::chrono::nanoseconds(long(1e9 * kBlock / kRate));
  auto next = Clock::now();
  const int blocks = int(seconds * kRate / kBlock), settled = int(0.5 * kRate / kBlock);
  MusicDeviceMIDIEvent(u, 0x90, 57, 100, 0);
  for (int b = 0; b < blocks; ++b) {
    const auto t0 = Clock::now();
    harness::renderBlock(u, l, r, kBlock);
    if (b >= settled) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    next += period;
    std::this_thread::sleep_until(next);
  }
  MusicDeviceMIDIEvent(u, 0x80, 57, 0, 0);
  return us;
}

void row(const char* measure, double figure, const char* baseline, double ratio, const char* goal, bool met) {
  std::printf("row|sing|%s|%.1f|%s|%.2f|%s|%s\n", measure, figure, baseline, ratio, goal, met ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  int notes = 150;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--quick") notes = 20;
  void* module = dlopen(GLIMM_SPEECH_UNIT_PATH, RTLD_NOW | RTLD_LOCAL);
  AudioUnit u = module ? harness::newUnit(kRate, 2) : nullptr;
  if (!u) {
    std::fprintf(stderr, "cannot load the speech unit: %s\n", module ? "no instance" : dlerror());
    return 1;
  }
  harness::setText(u, "Twinkle twinkle little star, how I wonder what you are; up above the world so high.");
  harness::setParam(u, kGlimmParam_SingMode, 1);
  play(u, 5, 20);  // warm-up

  const Run idle = play(u, 0, 20);
  const Run sing = play(u, notes, 20);
  const double med = quantile(sing.delays, 0.5), p99 = quantile(sing.delays, 0.99);
  row("note-on to first audible frame, median (frames)", med, "256 (one block)", med / kBlock, "<= 1 block",
      med <= kBlock);
  row("note-on to first audible frame, p99 (frames)", p99, "256 (one block)", p99 / kBlock, "<= 1 block",
      p99 <= kBlock);
  const double idleMed = quantile(idle.renderUs, 0.5), singMed = quantile(sing.renderUs, 0.5);
  const double idleP99 = quantile(idle.renderUs, 0.99), singP99 = quantile(sing.renderUs, 0.99);
  char base[64];
  std::snprintf(base, sizeof base, "%.1f (idle)", idleMed);
  row("render call while singing, median (us)", singMed, base, singMed / idleMed, "-", true);
  std::snprintf(base, sizeof base, "%.1f (idle)", idleP99);
  row("render call while singing, p99 (us)", singP99, base, singP99 / idleP99, "-", true);
  const std::vector<double> held = hold(u, notes > 20 ? 6.0 : 2.0);
  const double heldMed = quantile(held, 0.5), heldP99 = quantile(held, 0.99);
  std::snprintf(base, sizeof base, "%.1f (idle)", idleMed);
  row("render call while holding a vowel, median (us)", heldMed, base, heldMed / idleMed, "-", true);
  std::snprintf(base, sizeof base, "%.1f (idle)", idleP99);
  row("render call while holding a vowel, p99 (us)", heldP99, base, heldP99 / idleP99, "-", true);
  std::printf("# sing: %zu notes timed, %zu without sound; delays %.0f..%.0f frames; the block budget is %.0f us\n",
              sing.delays.size(), sing.missed, quantile(sing.delays, 0), quantile(sing.delays, 1.0),
              1e6 * kBlock / kRate);
  AudioComponentInstanceDispose(u);
  dlclose(module);
  // The rows say whether the goals were met; a run that measured is a success.
  return sing.missed == 0 ? 0 : 1;
}
