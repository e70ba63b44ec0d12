// The synthesis engine: one worker thread per process makes every call into
// espeak-ng (whose engine is global and not thread-safe). Each unit instance
// owns a SpeechVoice; a voice queues jobs (a snapshot of text and settings)
// and its render side reads the resampled audio through a lock-free ring.
#pragma once

#include "SpscRing.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct SpeechSettings {
  float pitch = 128;   // 0..255
  float speed = 100;   // 20..200
  float mouth = 128;   // 0..255, 128 = neutral
  float throat = 128;  // 0..255, 128 = neutral
  bool sing = false;
  double singNote = 64;  // MIDI note held flat while singing
  std::string voice;     // an installed voice's short name; English when empty or unknown
};

// An installed espeak-ng voice.
struct SpeechVoiceInfo {
  std::string name;         // short name, lower case: the last part of its file ("de", "cmn-latn-pinyin")
  std::string identifier;   // its file under the engine's voice folder ("gmw/de")
  std::string description;  // as the voice names itself ("German")
  std::string languages;    // separated by spaces, most specific first
};

namespace glimmspeech {
int espeakPitch(float pitch);
int espeakRate(float speed);
int formantPercent(float value);
// Pitch parameter as a MIDI note in sing mode: two steps per semitone.
double noteForPitch(float pitch);
double hzForNote(double note);

// The installed voices, listed once by the engine's worker when it starts the
// engine; the first call waits for that. Empty when the engine cannot start.
// Any thread but the render thread and the engine worker.
const std::vector<SpeechVoiceInfo>& installedVoices();
// The installed voice that `name` names (short name, file or description,
// ignoring ASCII case), or nullptr. Same threads as installedVoices().
const SpeechVoiceInfo* findInstalledVoice(std::string_view name);
}  // namespace glimmspeech

// Work the engine thread does for a voice's owner, outside the render thread.
class SpeechVoiceClient {
 public:
  virtual void serviceDeferred(uint32_t flags) = 0;

 protected:
  ~SpeechVoiceClient() = default;
};

class SpeechEngine;

class SpeechVoice {
 public:
  // The ring holds about 20 s at 48 kHz, so an ordinary utterance is synthesised
  // in one go and never keeps the shared engine from other voices.
  static constexpr size_t kRingFrames = size_t(1) << 20;

  static std::shared_ptr<SpeechVoice> create(double sampleRate, SpeechVoiceClient* client = nullptr);
  ~SpeechVoice();

  // Stops speaking and guarantees the client is not called any more.
  void detach();

  // Control side (any thread but the render thread). A new request supersedes
  // the utterance in progress.
  void speak(std::string preparedText, const SpeechSettings& settings);
  void stop();

  // Render side: lock-free, never allocates, never waits, and makes no
  // system call while render calls keep coming; only a post after half a
  // second without any render call (audio stopped, the worker asleep) writes
  // the worker's descriptor once.
  size_t render(float* out, size_t frames);
  void postDeferred(uint32_t flags);

  double sampleRate() const { return m_rate; }
  // True while a job is queued or running or audio is waiting to be rendered.
  bool busy() const;

  SpeechVoice(const SpeechVoice&) = delete;
  SpeechVoice& operator=(const SpeechVoice&) = delete;

 private:
  friend class SpeechEngine;
  struct Job {
    std::string text;
    SpeechSettings settings;
    uint64_t generation = 0;
  };

  SpeechVoice(SpeechEngine* engine, double sampleRate, SpeechVoiceClient* client);

  SpeechEngine* m_engine;
  const double m_rate;
  SpscRing m_ring;
  std::atomic<uint64_t> m_generation{0};
  std::atomic<uint32_t> m_deferred{0};
  std::atomic<bool> m_needSpace{false};
  std::atomic<bool> m_running{false};
  // Guarded by the engine's mutex.
  bool m_hasJob = false;
  Job m_job;
  std::mutex m_clientMutex;
  SpeechVoiceClient* m_client;
};
