// The voice controller: Glimm's voice for any plug-in format. It holds the
// parameters, the text, play requests and MIDI notes, and renders through the
// engine (SpeechVoice). No platform, Qt or X11 type crosses this interface;
// a format's adaptor (the Audio Unit shim, the LV2 plug-in) wraps it.
//
// Threads (control thread: any of the host's but the render thread; engine
// thread: the engine's own, see SpeechEngine.h)
//   call                          from
//   ----------------------------  ------------------------------------------
//   start, stop                   control thread, never while render runs
//   latencyFrames                 control thread
//   parameter, restartLyric       any thread
//   setParameter, midi            any thread, the render thread included (a
//                                 change made there is announced, and a note
//                                 started, by the engine thread); MIDI takes
//                                 effect in the next render call
//   setText, copyText, play,      control thread
//   silence, speaking, setVoice,
//   copyVoice, voiceList
//   render, markRenderThread      the render thread
//   render(..., mayWait = true)   the render thread, only while the host
//                                 renders offline (no real-time constraint):
//                                 it may lock and sleep for the engine thread
//   Observer::parameterChanged    the thread that changed the value, or the
//                                 engine thread for changes made on the
//                                 render thread, for changes made before the
//                                 first render call of a started voice, and
//                                 for notes; never render
//
// Written only while the voice is not rendering: the engine voice (start and
// stop). Parameters are atomics, MIDI reaches the render thread through a
// lock-free queue and the newest note the engine thread through a sequence
// lock; the text and the voice name are guarded by a mutex that the render
// thread never takes.
// Never lock, allocate, wait or make a system call: render (but with
// mayWait), markRenderThread, parameter, midi, and setParameter when called on
// the render thread (a post to a sleeping engine thread aside, see
// SpeechVoice::render).
#pragma once

#include "GlimmContract.h"
#include "MpscQueue.h"
#include "SeqLock.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>

class SpeechVoice;

class VoiceController {
 public:
  class Observer {
   public:
    virtual void parameterChanged(int index) = 0;

   protected:
    ~Observer() = default;
  };

  enum class MidiResult { Taken, Ignored, NotStarted };

  explicit VoiceController(Observer* observer);
  ~VoiceController();

  // Creates the engine's voice at this rate; false when the engine could not
  // start. A started voice stays as it is. The first voice of a process may
  // wait (up to 2 s) for the synthesis process to start.
  bool start(double sampleRate);
  // Silences the voice, lets the engine's voice go, and guarantees the
  // observer is not called from the engine thread any more.
  void stop();
  bool started() const { return bool(m_engineVoice); }
  // How long after its event every sound starts, in frames: one 256-frame
  // block at 48 kHz, or the longest render call so far; 0 when not started.
  uint64_t latencyFrames() const;

  // index must be below kGlimmParamCount. Finite values outside a range are
  // clamped to it, as automation may overshoot; NaN and infinities carry no
  // value: false, and nothing changes. A change is announced to the observer.
  float parameter(int index) const { return m_params[index].load(); }
  bool setParameter(int index, float value);

  // Takes bytes up to the first NUL, at most kGlimmTextMaxBytes of them.
  void setText(const char* bytes, size_t size);
  // Writes kGlimmTextBufferSize bytes: the text, NUL-padded.
  void copyText(char* out) const;

  // Chooses the espeak-ng voice the next utterance speaks with: a name as
  // glimm::findInstalledVoice takes it, of at most kGlimmVoiceMaxBytes.
  // Refused (false, nothing changed) when no installed voice has that name;
  // `changed` says whether the voice is now another one. The first call may
  // wait for the engine to list its voices.
  bool setVoice(const char* name, bool* changed = nullptr);
  // Writes kGlimmVoiceBufferSize bytes: the voice's short name, NUL-padded.
  void copyVoice(char* out) const;
  // The installed voices, one "name<TAB>languages<TAB>description" line each.
  static std::string voiceList();

  // Speaks the text with the current settings, superseding what is being
  // said, and starts the lyric again; false when the voice is not started.
  bool play();
  // The next sung note takes the lyric's first syllable again, so every pass of a
  // song sings the same words on the same notes (MIDI Start, a transport
  // that starts or jumps). Lock-free and allocation-free; from the render
  // thread it acts at once, before MIDI of the same call still queued: to
  // keep a message order, send MIDI Start (0xFA) through midi() instead.
  void restartLyric();
  // Ends what is being said at once.
  void silence();
  // True from play() until the utterance has been synthesised and all of it
  // rendered; false when the voice is not started.
  bool speaking() const;

  // One MIDI channel message, `offset` frames into the next render call.
  // Speech mode: a note-on speaks the text. Sing mode, one voice, the last
  // note wins: a note-on sings the next syllable of the lyric (Lyric.h) on
  // its pitch, holding its vowel until the note-off, which its final
  // consonants follow. Velocity sets the level; pitch bend spans two
  // semitones (see below); all notes off and all sound off stop at once; MIDI Start
  // (status 0xFA, no data) restarts the lyric in its turn. A key pressed
  // while another is held joins on legato, without a new attack, gliding
  // from the old pitch over the glide time (CC 5, 0-1000 ms; CC 65 below 64
  // turns the glide off). The mod wheel (CC 1) sets the vibrato's depth, 0
  // to 100 cents at 5.5 Hz; RPN 0 (CC 101 and 100 at 0, then CC 6) sets the
  // pitch wheel's range, 1 to 24 semitones. Every
  // sound starts a fixed time after its event (SpeechVoice::latencyFrames).
  // Messages are queued for the render thread; Ignored for what is not used
  // (or malformed, or beyond a full queue).
  MidiResult midi(uint32_t status, uint32_t data1, uint32_t data2, uint32_t offset = 0);

  // Records the calling thread as the render thread, so that parameter
  // changes made from it are announced from the engine thread instead.
  void markRenderThread();
  // Fills out with up to `frames` mono samples; returns how many it wrote.
  // With mayWait (offline rendering only) it first waits, up to
  // kOfflineWait, for the engine thread to have ready every sound due within the
  // block, so each starts exactly at its event plus the latency however fast
  // the host renders. Without it, it never waits: a sound whose audio is not
  // ready when due starts late.
  size_t render(float* out, size_t frames, bool mayWait = false);
  static constexpr std::chrono::milliseconds kOfflineWait{2000};

  VoiceController(const VoiceController&) = delete;
  VoiceController& operator=(const VoiceController&) = delete;

 private:
  class EngineClient;

  // A note (or play request) for the engine thread to have spoken.
  struct NoteRequest {
    int note = -1;  // -1: a play request
    int velocity = 127;
    bool sing = false;
    uint32_t word = 0;
    uint32_t id = 0;
    uint64_t startFrame = 0;
    int legatoFrom = -1;  // the key still held when this one came, or -1
  };
  // A MIDI channel message and its frame offset, packed for the queue.
  struct MidiMessage {
    uint32_t message = 0;  // status | data1 << 8 | data2 << 16
    uint32_t offset = 0;
  };
  static constexpr uint32_t kMidiQueue = 2048;

  bool onRenderThread() const;
  void announceParameter(int index);
  // Engine thread.
  void serviceDeferred(uint32_t flags);
  // Control thread or engine thread.
  void speak(const NoteRequest* note);
  // Render thread.
  void handleMidi(uint32_t status, uint32_t data1, uint32_t data2, uint64_t at);
  void drainMidi(size_t frames);
  void publishNote(const NoteRequest& r);

  Observer* const m_observer;
  std::unique_ptr<EngineClient> m_client;
  std::atomic<float> m_params[kGlimmParamCount];
  mutable std::mutex m_textMutex;
  char m_text[kGlimmTextBufferSize];
  std::string m_voiceName{kGlimmDefaultVoice};
  std::shared_ptr<SpeechVoice> m_engineVoice;
  std::atomic<pthread_t> m_renderThread{};
  std::atomic<bool> m_hasRenderThread{false};

  // Any thread pushes, the render thread pops.
  glimm::MpscQueue<MidiMessage, kMidiQueue> m_midi;
  // The latest note request: the render thread writes, the engine thread reads.
  glimm::SeqLock<NoteRequest> m_noteRequest;
  uint32_t m_servicedNote = 0;            // engine thread
  std::atomic<uint32_t> m_handedNote{0};  // the last note the voice was asked to speak
  // Which syllable of the lyric the next sung note takes; the text's setter
  // and restartLyric() start it again.
  std::atomic<uint32_t> m_wordCursor{0};
  // Glide time (CC 5) and the portamento switch (CC 65), set on the render
  // thread, read by the engine thread.
  std::atomic<float> m_glideMs{0};
  std::atomic<bool> m_portamento{true};
  // Render thread only.
  uint32_t m_lastNoteId = 0;
  uint32_t m_publishedNote = 0;
  uint64_t m_lastNoteFrame = 0;
  // Offline, a note goes to the engine thread only in the block it is due
  // in: handed over at once, a note-on in the next block would take its
  // place (last note priority) before it had sounded at all.
  bool m_offlineBlock = false;
  bool m_holdingBack = false;
  NoteRequest m_heldBack;
  // The pitch wheel (-1..1), its range in semitones (RPN 0), and the
  // registered parameter selected (CC 101/100; 0x3FFF: none).
  double m_bendWheel = 0;
  int m_bendRange = 2;
  uint32_t m_rpn = 0x3FFF;
  int m_heldNote = -1;
  uint32_t m_heldId = 0;
};
