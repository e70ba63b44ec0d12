// One instance of the LV2 instrument: one VoiceController. The control ports
// are the truth for the parameters; the text and the voice arrive as patch:Set
// on the control port and are handed to the host's worker as work, since
// setting them and speaking lock and allocate, which run() must never do.
//
// Events take effect in the order they arrive: while any work waits for the
// worker, MIDI queues behind it too, so a note that follows a new text sings
// that text. Free-wheeling, run() waits for such work instead (the host's
// worker may run on a thread of its own while it exports), so the note
// keeps its frame. A state restore supersedes every text queued before it.
// A transport that starts rolling or jumps restarts the lyric, in order
// with the MIDI around it.
//
// Threads, in LV2's threading classes (each declaration says its own):
//   instantiation  the constructor, the destructor, restore()
//   audio          connect(), run(), workResponse(): never lock, allocate,
//                  wait or make a system call, but run() free-wheeling (see
//                  above)
//   worker         work(): one call at a time, on any non-real-time thread
//   its own        save(): may overlap run() and work(), never an
//                  instantiation call
#pragma once

#include "GlimmDspTransport.h"
#include "GlimmLv2.h"
#include "GlimmLv2Messages.h"
#include "VoiceController.h"

#include <lv2/atom/forge.h>
#include <lv2/log/logger.h>
#include <lv2/state/state.h>
#include <lv2/worker/worker.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace glimm::dsp {

// What run() hands to the host's worker, and the worker's answer; only the
// used part of `bytes` travels. Text or voice work made before the latest
// restore (an older generation) is stale. The worker answers voice work with
// the voice then in use (kVoice, its name). Plain data: any thread.
struct Work {
  enum Kind : uint32_t { kText = 1, kPlay = 2, kMidi = 3, kVoice = 4 };
  uint32_t kind;
  uint32_t generation;
  uint32_t size;
  char bytes[kGlimmTextBufferSize];

  // String work's bytes on the wire: header, string and its NUL.
  uint32_t stringWireSize() const;
  // Whether `received` bytes hold whole string work of less than `buffer`.
  bool holdsString(uint32_t received, size_t buffer) const;
};
constexpr uint32_t kWorkHeader = offsetof(Work, bytes);
// Queued MIDI: the three bytes, then the event's frame in its block.
constexpr uint32_t kMidiWorkBytes = 3 + sizeof(uint32_t);

class Instance {
 public:
  // Instantiation class: starts the voice (a process, threads, memory).
  Instance(double rate, LV2_URID_Map* map, LV2_Worker_Schedule* schedule, LV2_Log_Log* log);

  // Instantiation class, right after the constructor.
  bool started() const { return m_started; }

  // Audio class: store the host's buffers; never lock, allocate or wait.
  void connect(uint32_t port, void* data);
  // Audio class: the render thread. Never locks, allocates, waits or makes a
  // system call (offline, free-wheeling, it waits for the worker on purpose).
  void run(uint32_t frames);

  // Worker class, one call at a time: where texts and voices from patch:Set,
  // speak requests and the MIDI queued behind them reach the voice. Locks
  // and allocates.
  LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                         const void* data);
  // Audio class, between runs: the worker's answer to voice work. Never
  // locks, allocates or waits.
  LV2_Worker_Status workResponse(uint32_t size, const void* data);

  // Its own class (LV2 state): never beside an instantiation call, possibly
  // beside run() and work(). Takes the voice's mutex, which run() never takes.
  LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle);
  // Instantiation class, so never during run(): the render-side copies may be
  // written here. Locks against the worker.
  LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

 private:
  // Instantiation class, from restore().
  LV2_State_Status restoreText(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);
  LV2_State_Status restoreVoice(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

  // Audio class, from run(): all of these.
  void applyPorts();
  void handleEvent(const LV2_Atom& atom, uint32_t frame);
  void midi(uint8_t status, uint8_t data1, uint8_t data2, uint32_t frame);
  // Free-wheeling only: waits (bounded) until the worker has done all work.
  void waitForWorker();
  bool schedule(Work& request, uint32_t size);
  // A patch:Set string as text or voice work (`kind`), checked and scheduled;
  // false, with a warning logged, when refused.
  bool scheduleString(Work& request, Work::Kind kind, const LV2_Atom* value);
  void setText(const LV2_Atom* value);
  void setVoice(const LV2_Atom* value);
  void schedulePlay();
  // The render-side copy of the text, for patch:Get (restore() too).
  void keepText(const char* text, size_t size);
  void writeNotify();
  void render(uint32_t frames);

  static constexpr size_t kScratchFrames = 256;

  const lv2::Uris m_uris;
  LV2_Worker_Schedule* const m_schedule;
  // Without the host's log, warnings are dropped: stderr is no place for run().
  const bool m_hasLog;
  LV2_Log_Logger m_logger;
  // run() only.
  LV2_Atom_Forge m_forge;
  VoiceController m_voice;
  bool m_started = false;

  // Written by connect(), read by run(): the audio class, one thread at a time.
  const LV2_Atom_Sequence* m_control = nullptr;
  LV2_Atom_Sequence* m_notify = nullptr;
  float* m_out = nullptr;
  const float* m_ports[kGlimmParamCount] = {};
  float m_lastPort[kGlimmParamCount];
  const float* m_freeWheel = nullptr;
  bool m_offline = false;  // this run() is free-wheeling
  Transport m_transport;
  uint64_t m_clock = 0;  // frames run so far
  float* m_latency = nullptr;

  // The text as run() knows it, for patch:Get; render thread only, except
  // restore (see there).
  char m_text[kGlimmTextBufferSize];
  size_t m_textSize = 0;
  bool m_announce = false;
  // The voice in use as run() knows it, from the worker's answers; the same rules as the text.
  char m_voiceName[kGlimmVoiceBufferSize];
  bool m_announceVoice = false;
  // Set by restore(), taken by run(): announce both.
  std::atomic<bool> m_restored{false};
  // Work scheduled and not yet done: raised by run(), lowered by work();
  // while nonzero, MIDI queues too.
  std::atomic<uint32_t> m_waiting{0};
  // How a free-wheeling run() waits for the worker; a worker that never came
  // while run() waited (a host that works only between runs) is not waited
  // for again.
  std::mutex m_workMutex;
  std::condition_variable m_workDone;
  std::atomic<int> m_workWaiters{0};
  bool m_workerStalled = false;
  // Bumped by each restore. Taken with m_restoreMutex by restore and the
  // worker only, never by run(), which reads it relaxed to stamp work.
  std::atomic<uint32_t> m_generation{0};
  std::mutex m_restoreMutex;
  // run() only.
  float m_scratch[kScratchFrames];
};

}  // namespace glimm::dsp
