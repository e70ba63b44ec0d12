// A voice of the engine: what one plug-in instance speaks and sings through.
// Its control side queues utterances (a prepared text and a snapshot of the
// settings) for the engine thread, which has the synthesis process speak
// them and writes the resampled audio into the voice's lock-free ring; its
// render side plays that audio on the host's render thread, each utterance
// from its due frame. See SpeechEngine.h for the engine thread.
//
// Threads, by the names docs/ARCHITECTURE.md gives them:
//   control thread  any thread of the host's but the render thread
//   render thread   the one thread that calls render() (the host's audio thread)
//   engine thread   the engine's own thread (SpeechEngine), one per process
// Each declaration below says which may call it.
#pragma once

#include "SeqLock.h"
#include "SpeechVoiceInfo.h"
#include "SpscRing.h"

#include <algorithm>
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

// What an utterance is spoken with; copied whole into each request.
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
  // The text is an encoded lyric (Lyric.h) and the note sings its syllable
  // number lyricNote, wrapping round.
  bool lyric = false;
  uint32_t lyricNote = 0;
  // Joined on legato to a note still sounding: what plays goes on until this
  // one is due, then crosses over into it, gliding from glideFrom (a MIDI
  // note) to singNote over glideMs.
  bool legato = false;
  double glideFrom = 0, glideMs = 0;
  // The render frame at which the first audible sample is due (0: at once),
  // and the note that asked for it (0: a play request).
  uint64_t startFrame = 0;
  uint32_t noteId = 0;
  std::string voice;  // an installed voice's short name; English when empty or unknown
};

// Pure functions of their arguments: any thread.
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

// The installed voices, listed once by the engine thread when it first
// starts the synthesis process; the first call waits for that. Empty when the
// process cannot start.
// Control threads only (never the render thread or the engine thread).
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
  // Engine thread: the flags posted with SpeechVoice::postDeferred since the
  // last call, or-ed together. May lock and allocate; must not block long.
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

  // Control thread. nullptr for a rate outside 1 kHz..1 MHz.
  static std::shared_ptr<SpeechVoice> create(double sampleRate, SpeechVoiceClient* client = nullptr);
  ~SpeechVoice();

  // --- Control threads -------------------------------------------------------
  // These lock the engine's mutex (briefly) and wake the engine thread.

  // Stops speaking and guarantees the client is not called any more. Never
  // while render() runs.
  void detach();
  // Queues an utterance; it supersedes the one in progress, which fades out.
  void speak(std::string preparedText, const SpeechSettings& settings);
  // Ends what is said at once and drops what is queued.
  void silence();
  // True while a job is queued or running or audio is waiting to be rendered.
  bool busy() const;

  // --- Render thread -----------------------------------------------------------
  // Lock-free, never allocates, never waits, and makes no system call while
  // render calls keep coming; only a post after half a second without any
  // render call (audio stopped, the engine thread asleep) writes the engine
  // thread's descriptor once.

  // Returns the frames up to the last one it gave sound to (0 for a silent
  // block); the rest of `out` is zero.
  size_t render(float* out, size_t frames);
  // A block of `frames` is about to be rendered: the latency grows to it
  // first, so requests made for this block are due as late as those of later
  // ones. render() does this itself; a caller that makes requests before
  // render() calls it before them.
  void beginBlock(size_t frames);
  // Frames rendered so far: the clock that startFrame counts in.
  uint64_t frame() const { return m_frame; }
  // Ends the sound of notes up to noteId from atFrame on: a sung syllable
  // whose vowel is being held leaves its loop and plays on to its end (the
  // final consonants), anything else fades out shortly. One that has not
  // started by then does not start.
  void release(uint32_t noteId, uint64_t atFrame);
  // Ends every sound within about a millisecond; notes up to lastNoteId will
  // not start any more.
  void cutAll(uint32_t lastNoteId);
  // Pitch bend in semitones (up to 24 either way), applied to what plays
  // from now on.
  void setBend(double semitones);
  // Vibrato depth in cents (0-100), at kVibratoHz, on what plays from now on.
  void setVibrato(double cents) { m_vibratoCents = std::clamp(cents, 0.0, 100.0); }
  static constexpr double kVibratoHz = 5.5;

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

  // --- Any thread -------------------------------------------------------------
  // Lock-free; none waits.

  // Has the engine thread call the client's serviceDeferred with `flags`.
  // A system call only when the engine thread sleeps (see render()).
  void postDeferred(uint32_t flags);
  // Drops a job in synthesis or queued.
  void cancelSynthesis() { m_generation.fetch_add(1); }
  // How far after its request an utterance starts: long enough for the engine
  // thread to have its first sound ready before the render thread gets there.
  // The render thread raises it to its largest block.
  uint64_t latencyFrames() const { return m_latency.load(std::memory_order_relaxed); }
  // The render clock as last published (at the end of each render call).
  uint64_t publishedFrame() const { return m_publishedFrame.load(std::memory_order_relaxed); }
  double sampleRate() const { return m_rate; }

  // --- Engine thread -----------------------------------------------------------
  // Something waitUntilReady may be waiting for has happened. A system call
  // only while a render thread waits (offline).
  void notifyProgress();

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
  // from the engine thread to the render thread.
  struct Segment {
    uint64_t start = 0;
    uint64_t startFrame = 0;
    uint32_t noteId = 0;
    double rate = 1.0;  // playback rate, for the F0 between whole Hz
    // A sung syllable's held vowel: the ring index of its loop, its length
    // (0: none) and the loop's own rate correction (SungLayout).
    uint64_t loopStart = 0;
    uint32_t loopLength = 0;
    double loopRate = 1.0;
    uint64_t shortcut = 0;  // a released key skips from here to loopStart
    // Legato: crosses over from what plays at startFrame, its pitch gliding
    // from glideFrom times its own to its own over glideFrames.
    bool legato = false;
    double glideFrom = 1.0;
    uint32_t glideFrames = 0;
  };
  // Engine thread.
  void announce(const Segment& s) { m_announced.store(s); }
  // Render thread.
  void takeUpRequests();
  bool renderFrame(uint64_t now, float& out);
  void endFade();
  void switchSegment(const Segment& s, uint32_t seq);
  bool takeInput(size_t k, float* x);
  bool takeStream(size_t k, float* x);
  void skipStream(uint64_t to);
  void join();
  float joinSample();
  double vibrato();
  void noticeSegment();
  bool readyFor(uint64_t blockEnd);

  SpeechEngine* m_engine;
  const double m_rate;
  // Engine thread writes, render thread reads.
  SpscRing m_ring;

  // Guarded by the engine's mutex: the queued utterance and the running one.
  bool m_hasJob = false;
  Utterance m_job;
  uint64_t m_runningFrame = 0;  // the running job's startFrame

  // Written by control threads (and the render thread's cancelSynthesis),
  // read by the engine thread: a job of an older generation is dropped.
  std::atomic<uint64_t> m_generation{0};
  // Any thread or's flags in; the engine thread takes them.
  std::atomic<uint32_t> m_deferred{0};
  // Engine thread sets it when the ring is full; the render thread clears it
  // and posts once half the ring is free.
  std::atomic<bool> m_needSpace{false};
  // Engine thread: a job of this voice is in synthesis, and where its audio
  // begins in the ring (UINT64_MAX until announced). Read by the render
  // thread's offline wait and by busy().
  std::atomic<bool> m_running{false};
  std::atomic<uint64_t> m_runningStart{UINT64_MAX};
  // Engine thread announces, render thread takes up.
  glimm::SeqLock<Segment> m_announced;
  // Render thread raises it; any thread reads.
  std::atomic<uint64_t> m_latency;
  // Render thread publishes its clock; any thread reads.
  std::atomic<uint64_t> m_publishedFrame{0};
  // Render thread: it still holds audio not yet played (for busy()).
  std::atomic<bool> m_holding{false};
  // Control threads count their requests up; the render thread acts on each
  // new count in its next block: silence() drops what plays, speak() fades
  // out what was announced up to m_supersedeUpTo.
  std::atomic<uint32_t> m_stopSeq{0};
  std::atomic<uint32_t> m_supersedeSeq{0};
  std::atomic<uint32_t> m_supersedeUpTo{0};

  // waitUntilReady's sleep, and how many wait in it (render thread, offline).
  std::mutex m_waitMutex;
  std::condition_variable m_progress;
  std::atomic<int> m_waiters{0};
  // Guards m_client between detach() and the engine thread's calls.
  std::mutex m_clientMutex;
  SpeechVoiceClient* m_client;

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
  float m_env = 0, m_envStep = 0, m_releaseStep = 0;
  double m_bend = 1.0, m_ratio = 1.0, m_frac = 0;
  bool m_primed = false;
  float m_x0 = 0, m_x1 = 0;
  float m_input[kInputFrames];
  size_t m_inputPos = 0, m_inputLen = 0;
  uint64_t m_inputAt = 0;  // the ring index of m_input[m_inputPos]
  // The held vowel's loop, copied as it streams past; it repeats from its
  // end while the key is held, and is left at a wrap once the key is up.
  static constexpr size_t kLoopFrames = 16384;
  float m_loop[kLoopFrames];
  uint32_t m_loopPos = 0;
  bool m_looping = false, m_letGo = false;
  // Legato: a join waits for the new note's frame; then the old loop sounds
  // on from its copy while the new syllable fades in, gliding in pitch.
  bool m_joinPending = false;
  float m_joinLoop[kLoopFrames];
  uint32_t m_joinLength = 0, m_joinLeft = 0, m_joinFrames = 1, m_glideLeft = 0;
  double m_joinPos = 0, m_joinStep = 1, m_glide = 1, m_glideStep = 1;
  double m_vibratoCents = 0, m_vibratoPhase = 0;
};
