// The voice controller: Glimm's voice for any plug-in format. It holds the
// parameters, the text, play requests and MIDI notes, and renders through the
// shared synthesis engine. No platform, Qt or X11 type crosses this interface;
// a format's adaptor (the Audio Unit shim, an LV2 plug-in) wraps it.
//
// Threads
//   call                          from
//   ----------------------------  ------------------------------------------
//   start, stop                   control thread, never while render runs
//   parameter                     any thread
//   setParameter, midi            any thread, the render thread included (a
//                                 change made there is announced, and a note
//                                 started, by the engine worker)
//   setText, copyText, play,      any thread but the render thread
//   silence, speaking, setVoice,
//   copyVoice, voiceList
//   render, markRenderThread      the render thread
//   Observer::parameterChanged    the thread that changed the value, or the
//                                 engine worker for changes made on the
//                                 render thread, for changes made before the
//                                 first render call of a started voice, and
//                                 for notes; never render
//
// Written only while the voice is not rendering: the engine voice (start and
// stop). Parameters and the pending note are atomics; the text and the voice
// name are guarded by a mutex that the render thread never takes.
// Never locks or allocates: render, markRenderThread, parameter, midi, and
// setParameter when called on the render thread.
#pragma once

#include "GlimmContract.h"

#include <atomic>
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
  // start. A started voice stays as it is.
  bool start(double sampleRate);
  // Silences the voice and guarantees the observer is not called from the
  // engine any more.
  void stop();
  bool started() const { return bool(m_engineVoice); }

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
  // glimmspeech::findInstalledVoice takes it, of at most kGlimmVoiceMaxBytes.
  // Refused (false, nothing changed) when no installed voice has that name;
  // `changed` says whether the voice is now another one. The first call may
  // wait for the engine to list its voices.
  bool setVoice(const char* name, bool* changed = nullptr);
  // Writes kGlimmVoiceBufferSize bytes: the voice's short name, NUL-padded.
  void copyVoice(char* out) const;
  // The installed voices, one "name<TAB>languages<TAB>description" line each.
  static std::string voiceList();

  // Speaks the text with the current settings, superseding what is being
  // said; false when the voice is not started.
  bool play();
  // Ends what is being said at once.
  void silence();
  // True from play() until the utterance has been synthesised and all of it
  // rendered; false when the voice is not started.
  bool speaking() const;

  // One MIDI channel message. A note-on in sing mode sets the pitch and sings
  // the text on that note; the work happens on the engine worker.
  MidiResult midi(uint32_t status, uint32_t data1, uint32_t data2);

  // Records the calling thread as the render thread, so that parameter
  // changes made from it are announced from the worker instead.
  void markRenderThread();
  // Fills out with up to `frames` mono samples; returns how many it wrote.
  size_t render(float* out, size_t frames);

  VoiceController(const VoiceController&) = delete;
  VoiceController& operator=(const VoiceController&) = delete;

 private:
  class EngineClient;

  bool onRenderThread() const;
  void announceParameter(int index);
  void serviceDeferred(uint32_t flags);
  void speak(int note);

  Observer* const m_observer;
  std::unique_ptr<EngineClient> m_client;
  std::atomic<float> m_params[kGlimmParamCount];
  mutable std::mutex m_textMutex;
  char m_text[kGlimmTextBufferSize];
  std::string m_voiceName{kGlimmDefaultVoice};
  std::shared_ptr<SpeechVoice> m_engineVoice;
  std::atomic<pthread_t> m_renderThread{};
  std::atomic<bool> m_hasRenderThread{false};
  std::atomic<int> m_pendingNote{-1};
};
