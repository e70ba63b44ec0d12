// The synthesis engine: one worker thread per process hands every job to a
// synthesis process of its own, which alone calls espeak-ng (whose engine is
// global, not thread-safe, and faults on some voices' text): a fault there
// costs one utterance, never the host. Each unit instance owns a SpeechVoice;
// a voice queues jobs (a snapshot of text and settings) and its render side
// reads the resampled audio through a lock-free ring.
#pragma once

#include "SpeechVoiceInfo.h"
#include "SpscRing.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct SpeechSettings {
  float pitch = 128;   // 0..255
  float speed = 100;   // 20..200
  float mouth = 128;   // 0..255, 128 = neutral
  float throat = 128;  // 0..255, 128 = neutral
  bool sing = false;
  double singNote = 64;   // MIDI note held flat while singing
  bool phonetic = false;  // the text is phoneme mnemonics
  bool filter = false;    // the small-speaker voice
  double level = 1.0;     // 0..1, a note's velocity
  // The render frame at which the first audible sample is due (0: at once),
  // and the note that asked for it (0: a play request).
  uint64_t startFrame = 0;
  uint32_t noteId = 0;
  std::string voice;  // an installed voice's short name; English when empty or unknown
};

namespace glimm {
int espeakPitch(float pitch);
int espeakRate(float speed);
int formantPercent(float value);
// Pitch parameter as a MIDI note in sing mode: 0..255 spans MIDI 36..84
// evenly, so every step moves the note by about a fifth of a semitone.
double noteForPitch(float pitch);
// The F0 the engine is asked to hold for a (fractional) MIDI note, in whole
// Hz, and the playback rate that takes it on to the note's exact frequency.
int singHz(double note);
double singRatio(double note);
double hzForNote(double note);

// The installed voices, listed once by the engine's worker when it first
// starts the synthesis process; the first call waits for that. Empty when the
// process cannot start.
// Any thread but the render thread and the engine worker.
const std::vector<SpeechVoiceInfo>& installedVoices();
// The installed voice that `name` names (short name, file or description,
// ignoring ASCII case), or nullptr. Same threads as installedVoices().
const SpeechVoiceInfo* findInstalledVoice(std::string_view name);
// The synthesis process's id, 0 while none runs (diagnostics). Any thread.
pid_t engineProcessId();
}  // namespace glimm

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
  void silence();

  // Render side: lock-free, never allocates, never waits, and makes no
  // system call while render calls keep coming; only a post after half a
  // second without any render call (audio stopped, the worker asleep) writes
  // the worker's descriptor once. render() returns the frames up to the last
  // one it gave sound to (0 for a silent block); the rest of `out` is zero.
  size_t render(float* out, size_t frames);
  void postDeferred(uint32_t flags);
  // Frames rendered so far: the clock that startFrame counts in.
  uint64_t frame() const { return m_frame; }
  // How far after its request an utterance starts: long enough for the worker
  // to have its first sound ready before the render thread gets there.
  uint64_t latencyFrames() const { return m_latency.load(std::memory_order_relaxed); }
  // Ends the sound of notes up to noteId with a short fade from atFrame on;
  // one that has not started by then does not start.
  void release(uint32_t noteId, uint64_t atFrame);
  // Ends every sound within about a millisecond; notes up to lastNoteId will
  // not start any more.
  void cutAll(uint32_t lastNoteId);
  // Pitch bend in semitones, applied to what plays from now on.
  void setBend(double semitones);
  // Drops a job in synthesis or queued (the render thread may call it).
  void cancelSynthesis() { m_generation.fetch_add(1); }
  // Any thread: the render clock as last published.
  uint64_t publishedFrame() const { return m_publishedFrame.load(std::memory_order_relaxed); }

  // Offline rendering only (the host has no real-time constraint, e.g. an
  // LV2 host free-wheeling): render thread, before render(). Blocks, taking
  // locks, until the audio of every utterance due before the end of the next
  // `frames` is ready to render, so each starts exactly at its due frame and
  // none breaks off for want of audio; `requestPending` names a request not
  // yet handed to this voice that is due within the block. Returns false
  // when `timeout` passed first. Never call it while real-time constraints
  // hold: render() alone never waits.
  bool waitUntilReady(size_t frames, std::chrono::milliseconds timeout,
                      const std::function<bool(uint64_t blockEnd)>& requestPending = {});
  // Engine worker: something waitUntilReady may be waiting for has happened.
  void notifyProgress();

  double sampleRate() const { return m_rate; }
  // True while a job is queued or running or audio is waiting to be rendered.
  bool busy() const;

  SpeechVoice(const SpeechVoice&) = delete;
  SpeechVoice& operator=(const SpeechVoice&) = delete;

 private:
  friend class SpeechEngine;
  // A request to speak: its prepared text and a snapshot of the settings.
  struct Utterance {
    std::string text;
    SpeechSettings settings;
    uint64_t generation = 0;
  };

  SpeechVoice(SpeechEngine* engine, double sampleRate, SpeechVoiceClient* client);

  // Where an utterance's audio begins in the ring and when it is due, handed
  // from the worker to the render thread under a sequence count.
  struct Segment {
    uint64_t start = 0;
    uint64_t startFrame = 0;
    uint32_t noteId = 0;
    double rate = 1.0;  // playback rate, for the F0 between whole Hz
  };
  void publishSegment(const Segment& s);
  bool readSegment(Segment& s, uint32_t& seq) const;
  void switchSegment(const Segment& s, uint32_t seq);
  bool takeInput(size_t k, float* x);
  void noticeSegment();
  bool readyFor(uint64_t blockEnd);

  SpeechEngine* m_engine;
  const double m_rate;
  SpscRing m_ring;
  std::atomic<uint64_t> m_generation{0};
  std::atomic<uint32_t> m_deferred{0};
  std::atomic<bool> m_needSpace{false};
  std::atomic<bool> m_running{false};
  // Guarded by the engine's mutex.
  bool m_hasJob = false;
  Utterance m_job;
  uint64_t m_runningFrame = 0;  // the running job's startFrame
  // Where the running job's audio begins in the ring; UINT64_MAX until the
  // worker has announced it.
  std::atomic<uint64_t> m_runningStart{UINT64_MAX};
  // waitUntilReady's sleep, and how many wait in it.
  std::mutex m_waitMutex;
  std::condition_variable m_progress;
  std::atomic<int> m_waiters{0};
  std::mutex m_clientMutex;
  SpeechVoiceClient* m_client;

  std::atomic<uint32_t> m_segSeq{0};
  std::atomic<uint64_t> m_segStart{0}, m_segFrame{0};
  std::atomic<uint32_t> m_segNote{0};
  std::atomic<double> m_segRate{1.0};
  std::atomic<uint64_t> m_latency;
  std::atomic<uint64_t> m_publishedFrame{0};
  std::atomic<uint32_t> m_stopSeq{0};
  std::atomic<bool> m_holding{false};
  std::atomic<uint32_t> m_supersedeSeq{0};   // the render thread holds audio not yet played
  std::atomic<uint32_t> m_supersedeUpTo{0};  // the last segment announced before it

  // Render thread only.
  enum class Play { Idle, Playing, Switching, Releasing, Muted };
  static constexpr size_t kInputFrames = 512;
  uint64_t m_frame = 0;
  uint32_t m_seenSeq = 0;
  Play m_play = Play::Idle;
  Segment m_pending, m_segment;
  uint64_t m_oldEnd = UINT64_MAX;  // where the audio playing now ends in the ring
  bool m_switchNow = false;
  uint32_t m_pendingSeq = 0;
  uint64_t m_gate = 0;
  uint32_t m_noteId = 0;
  uint32_t m_releasedId = 0;
  uint64_t m_releaseFrame = 0;
  uint32_t m_cutSeq = 0;
  uint32_t m_seenStops = 0;
  uint32_t m_seenSupersede = 0;
  float m_env = 0, m_envStep = 0;
  double m_bend = 1.0, m_ratio = 1.0, m_frac = 0;
  bool m_primed = false;
  float m_x0 = 0, m_x1 = 0;
  float m_input[kInputFrames];
  size_t m_inputPos = 0, m_inputLen = 0;
  uint64_t m_inputAt = 0;  // the ring index of m_input[m_inputPos]
};
