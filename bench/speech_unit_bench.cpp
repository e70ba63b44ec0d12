// Speech unit timing, through the module as a host drives it:
//  - play request to the first audible rendered frame,
//  - synthesis speed as a multiple of real time,
//  - AudioUnitRender time per 256-frame block while synthesis runs, against
//    the same call on an idle unit and against the block's real-time budget.
// Prints figures only; nothing here passes or fails.
#include "SpeechUnitHarness.h"

#include <AudioUnit/AudioUnitProperties.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 48000;
constexpr UInt32 kBlock = 256;

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

struct Unit {
  AudioUnit au = nullptr;
  std::vector<float> left = std::vector<float>(kBlock), right = std::vector<float>(kBlock);

  bool open() {
    au = harness::newUnit(kRate, 2);
    return au != nullptr;
  }

  void say(const std::string& text) {
    harness::setText(au, text);
    harness::play(au);
  }

  // Returns the index of the first audible frame, -1 for a silent block.
  long render(bool* gotAudio = nullptr) {
    const bool audio = harness::renderBlock(au, left, right, kBlock);
    if (gotAudio) *gotAudio = audio;
    for (UInt32 i = 0; i < kBlock; ++i)
      if (std::fabs(left[i]) > 1e-3f) return long(i);
    return -1;
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main() {
  void* module = dlopen(GLIMM_SPEECH_UNIT_PATH, RTLD_NOW | RTLD_LOCAL);
  Unit unit;
  if (!module || !unit.open()) {
    std::fprintf(stderr, "cannot load the speech unit: %s\n", module ? "no instance" : dlerror());
    return 1;
  }
  const double blockMs = 1000.0 * kBlock / kRate;
  const std::string sentence = "The quick brown fox jumps over the lazy dog.";
  const std::string paragraph =
      "Speech synthesis turns written text into sound. This paragraph is long enough to keep the worker busy "
      "for a while, so that the render calls can be timed while audio is still being produced and pushed "
      "into the ring buffer, one chunk after another, until the whole text has been spoken aloud.";

  // Warm-up: the first utterance loads the engine and the voice data.
  unit.say(sentence);
  for (int i = 0; i < 2000 && unit.render() < 0; ++i) std::this_thread::sleep_for(std::chrono::microseconds(200));
  AudioUnitReset(unit.au, kAudioUnitScope_Global, 0);

  // 1. Play request to first audible frame (blocks rendered back to back).
  std::vector<double> latency;
  for (int trial = 0; trial < 20; ++trial) {
    AudioUnitReset(unit.au, kAudioUnitScope_Global, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto t0 = Clock::now();
    unit.say(sentence);
    for (long at = -1; at < 0 && msSince(t0) < 2000;) {
      at = unit.render();
      if (at >= 0) latency.push_back(msSince(t0) + 1000.0 * double(at) / kRate);
    }
  }
  const double lat = median(latency);
  std::printf("play -> first audible frame: median %.3f ms over %zu trials = %.3f x one %u-frame block (%.2f ms)\n",
              lat, latency.size(), lat / blockMs, kBlock, blockMs);

  // 2. Synthesis speed: render as fast as audio arrives, until it stops.
  AudioUnitReset(unit.au, kAudioUnitScope_Global, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto t0 = Clock::now();
  unit.say(paragraph);
  size_t frames = 0;
  double lastAudioMs = 0;
  while (msSince(t0) - lastAudioMs < 300 || frames == 0) {
    bool got = false;
    unit.render(&got);
    if (got) {
      frames += kBlock;
      lastAudioMs = msSince(t0);
    }
    if (msSince(t0) > 20000) break;
  }
  const double audioSec = double(frames) / kRate;
  std::printf("synthesis: %.2f s of audio in %.1f ms = %.0f x real time\n", audioSec, lastAudioMs,
              audioSec / (lastAudioMs / 1000.0));

  // 3. Render-call time while the worker synthesises, against an idle unit.
  auto timeRenders = [&](bool speaking) {
    std::vector<double> us;
    AudioUnitReset(unit.au, kAudioUnitScope_Global, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (speaking) unit.say(paragraph);
    for (int i = 0; i < 4000; ++i) {
      const auto t = Clock::now();
      unit.render();
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
      // A quicker pace than real time, so many calls fall inside the synthesis.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return us;
  };
  const auto idle = timeRenders(false);
  const auto busy = timeRenders(true);
  const double idleMed = median(idle), busyMed = median(busy);
  const double busyMax = *std::max_element(busy.begin(), busy.end());
  std::printf(
      "render %u frames while synthesising: median %.2f us (%.2f x idle %.2f us), worst %.1f us "
      "(%.4f of the %.0f us block budget)\n",
      kBlock, busyMed, busyMed / idleMed, idleMed, busyMax, busyMax / (blockMs * 1000), blockMs * 1000);

  AudioComponentInstanceDispose(unit.au);
  dlclose(module);
  return 0;
}
