// Glimm as an LV2 instrument: one VoiceController per instance. The control
// ports are the truth for the parameters; the text and the voice arrive as
// patch:Set on the control port and are handed to the host's worker, since
// setting them and speaking lock and allocate, which run() must never do.
//
// Events take effect in the order they arrive: while any job waits for the
// worker, MIDI queues behind it too, so a note that follows a new text sings
// that text. A state restore supersedes every text queued before it.
#include "GlimmLv2.h"

#include "Boundary.h"
#include "Utf8.h"
#include "VoiceController.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

namespace {

// Padding in 64 bits: a size near 4 GiB must not wrap to a small step.
constexpr uint64_t pad(uint64_t size) { return (size + 7) & ~uint64_t(7); }

struct Uris {
  LV2_URID atomBlank, atomObject, atomResource, atomSequence, atomString, atomURID;
  LV2_URID midiEvent;
  LV2_URID patchGet, patchSet, patchProperty, patchValue;
  LV2_URID text, speak, voice;

  explicit Uris(LV2_URID_Map* m)
      : atomBlank(m->map(m->handle, LV2_ATOM__Blank)),
        atomObject(m->map(m->handle, LV2_ATOM__Object)),
        atomResource(m->map(m->handle, LV2_ATOM__Resource)),
        atomSequence(m->map(m->handle, LV2_ATOM__Sequence)),
        atomString(m->map(m->handle, LV2_ATOM__String)),
        atomURID(m->map(m->handle, LV2_ATOM__URID)),
        midiEvent(m->map(m->handle, LV2_MIDI__MidiEvent)),
        patchGet(m->map(m->handle, LV2_PATCH__Get)),
        patchSet(m->map(m->handle, LV2_PATCH__Set)),
        patchProperty(m->map(m->handle, LV2_PATCH__property)),
        patchValue(m->map(m->handle, LV2_PATCH__value)),
        text(m->map(m->handle, GLIMM_LV2_TEXT_URI)),
        speak(m->map(m->handle, GLIMM_LV2_SPEAK_URI)),
        voice(m->map(m->handle, GLIMM_LV2_VOICE_URI)) {}
};

// The one check every text passes, from patch:Set and from saved state alike:
// NUL-terminated within the bytes given, at most kGlimmTextMaxBytes before
// the NUL, strict UTF-8. Returns the text's length, or -1.
long acceptText(const void* body, size_t size) {
  if (!body || size == 0) return -1;
  const char* s = static_cast<const char*>(body);
  const void* nul = std::memchr(s, 0, std::min<size_t>(size, kGlimmTextBufferSize));
  if (!nul) return -1;
  const size_t n = size_t(static_cast<const char*>(nul) - s);
  return glimm::utf8::valid(s, n) ? long(n) : -1;
}

// A voice name's form, from patch:Set and saved state alike: NUL-terminated
// within the bytes given, 1 to kGlimmVoiceMaxBytes long, UTF-8. Whether such
// a voice is installed only the worker can say. Returns the length, or -1.
long acceptVoiceName(const void* body, size_t size) {
  if (!body || size == 0) return -1;
  const char* s = static_cast<const char*>(body);
  const void* nul = std::memchr(s, 0, std::min<size_t>(size, kGlimmVoiceBufferSize));
  if (!nul) return -1;
  const size_t n = size_t(static_cast<const char*>(nul) - s);
  return n > 0 && glimm::utf8::valid(s, n) ? long(n) : -1;
}

// What run() hands to the worker; only the used part of `bytes` is copied.
// A text or voice job made before the latest restore (an older generation) is
// stale. The worker answers a voice job with the voice then in use (kVoice,
// its name).
struct Job {
  enum Kind : uint32_t { kText = 1, kPlay = 2, kMidi = 3, kVoice = 4 };
  uint32_t kind;
  uint32_t generation;
  uint32_t size;
  char bytes[kGlimmTextBufferSize];
};
constexpr uint32_t kJobHeader = offsetof(Job, bytes);
// A queued MIDI job: the three bytes, then the event's frame in its block.
constexpr uint32_t kMidiJobBytes = 3 + sizeof(uint32_t);

// The patch properties run() looks at; values point into the host's buffer
// and were checked to lie inside it.
struct PatchMessage {
  LV2_URID otype = 0;
  LV2_URID property = 0;
  const LV2_Atom* value = nullptr;
};

class Instance {
 public:
  Instance(double rate, LV2_URID_Map* map, LV2_Worker_Schedule* schedule, LV2_Log_Log* log)
      : m_uris(map), m_schedule(schedule), m_hasLog(log != nullptr), m_voice(nullptr) {
    lv2_log_logger_init(&m_logger, map, log);
    lv2_atom_forge_init(&m_forge, map);
    std::memset(m_text, 0, sizeof m_text);
    std::memset(m_voiceName, 0, sizeof m_voiceName);
    std::memcpy(m_voiceName, kGlimmDefaultVoice, sizeof kGlimmDefaultVoice);
    // Unequal to anything, so the first run applies every connected port.
    for (float& v : m_lastPort) v = std::numeric_limits<float>::quiet_NaN();
    m_started = m_voice.start(rate);
  }

  bool started() const { return m_started; }

  void connect(uint32_t port, void* data) {
    if (port == kGlimmPortControl)
      m_control = static_cast<const LV2_Atom_Sequence*>(data);
    else if (port == kGlimmPortNotify)
      m_notify = static_cast<LV2_Atom_Sequence*>(data);
    else if (port == kGlimmPortOut)
      m_out = static_cast<float*>(data);
    else if (port >= kGlimmPortFirstParameter && port < glimmParameterPort(kGlimmParamCount))
      m_ports[port - kGlimmPortFirstParameter] = static_cast<const float*>(data);
    else if (port == kGlimmPortFreeWheel)
      m_freeWheel = static_cast<const float*>(data);
  }

  void run(uint32_t frames) {
    m_voice.markRenderThread();
    applyPorts();
    readEvents(frames);
    writeNotify();
    render(frames);
  }

  // Worker side: where texts and voices from patch:Set, speak requests and
  // the MIDI queued behind them reach the voice.
  LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                         const void* data) {
    if (!data || size < kJobHeader || size > sizeof(Job)) return LV2_WORKER_ERR_UNKNOWN;
    Job job;
    std::memcpy(&job, data, size);
    // Counted down without wrapping: a host may hand us jobs we never sent.
    struct Done {
      std::atomic<uint32_t>& waiting;
      ~Done() {
        uint32_t n = waiting.load(std::memory_order_relaxed);
        while (n > 0 && !waiting.compare_exchange_weak(n, n - 1, std::memory_order_release)) {
        }
      }
    } done{m_waiting};
    if (job.kind == Job::kText && job.size < kGlimmTextBufferSize && kJobHeader + job.size + 1 <= size) {
      std::lock_guard<std::mutex> lock(m_restoreMutex);
      if (job.generation == m_generation.load(std::memory_order_relaxed)) m_voice.setText(job.bytes, job.size);
    } else if (job.kind == Job::kVoice && job.size < kGlimmVoiceBufferSize && kJobHeader + job.size + 1 <= size) {
      job.bytes[job.size] = 0;
      std::unique_lock<std::mutex> lock(m_restoreMutex);
      const bool current = job.generation == m_generation.load(std::memory_order_relaxed);
      if (current && !m_voice.setVoice(job.bytes) && m_hasLog)
        lv2_log_warning(&m_logger, "Glimm: voice \"%s\" refused (no installed espeak-ng voice has that name)\n",
                        job.bytes);
      // Accepted or not, run() learns the voice in use, and announces it.
      Job answer;
      answer.kind = Job::kVoice;
      m_voice.copyVoice(answer.bytes);
      lock.unlock();
      answer.size = uint32_t(strnlen(answer.bytes, kGlimmVoiceMaxBytes));
      answer.bytes[answer.size] = 0;
      if (respond) (void)respond(handle, kJobHeader + answer.size + 1, &answer);
    } else if (job.kind == Job::kPlay) {
      if (!m_voice.play()) return LV2_WORKER_ERR_UNKNOWN;
    } else if (job.kind == Job::kMidi && job.size == kMidiJobBytes && kJobHeader + kMidiJobBytes <= size) {
      const auto* msg = reinterpret_cast<const uint8_t*>(job.bytes);
      uint32_t frame = 0;
      std::memcpy(&frame, job.bytes + 3, sizeof frame);
      // Its frame within the block that comes next: order is what counts here.
      m_voice.midi(msg[0], msg[1], msg[2], frame);
    } else {
      return LV2_WORKER_ERR_UNKNOWN;
    }
    return LV2_WORKER_SUCCESS;
  }

  // Render thread, between runs: the worker's answer to a voice job.
  LV2_Worker_Status workResponse(uint32_t size, const void* data) {
    if (!data || size < kJobHeader || size > sizeof(Job)) return LV2_WORKER_ERR_UNKNOWN;
    Job job;
    std::memcpy(&job, data, size);
    if (job.kind != Job::kVoice || job.size >= kGlimmVoiceBufferSize || kJobHeader + job.size + 1 > size)
      return LV2_WORKER_ERR_UNKNOWN;
    std::memset(m_voiceName, 0, sizeof m_voiceName);
    std::memcpy(m_voiceName, job.bytes, job.size);
    m_announceVoice = true;
    return LV2_WORKER_SUCCESS;
  }

  LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle) {
    char text[kGlimmTextBufferSize];
    m_voice.copyText(text);
    const size_t n = strnlen(text, kGlimmTextMaxBytes);
    text[n] = 0;
    const uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    const LV2_State_Status st = store(handle, m_uris.text, text, n + 1, m_uris.atomString, flags);
    if (st != LV2_STATE_SUCCESS) return st;
    char voice[kGlimmVoiceBufferSize];
    m_voice.copyVoice(voice);
    return store(handle, m_uris.voice, voice, strnlen(voice, kGlimmVoiceMaxBytes) + 1, m_uris.atomString, flags);
  }

  // Not concurrent with run() (the instantiation threading class), so the
  // render-side copy may be written here.
  LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
    const LV2_State_Status text = restoreText(retrieve, handle);
    const LV2_State_Status voice = restoreVoice(retrieve, handle);
    return text != LV2_STATE_SUCCESS ? text : voice;
  }

 private:
  LV2_State_Status restoreVoice(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(handle, m_uris.voice, &size, &type, &flags);
    if (!value) return LV2_STATE_SUCCESS;  // saved before there were voices: the voice stays
    const long n = type == m_uris.atomString ? acceptVoiceName(value, size) : -1;
    // Like the text: a voice job still queued was sent before this state.
    std::unique_lock<std::mutex> lock(m_restoreMutex);
    if (n >= 0) m_generation.fetch_add(1, std::memory_order_relaxed);
    if (n < 0 || !m_voice.setVoice(static_cast<const char*>(value))) {
      lock.unlock();
      if (m_hasLog)
        lv2_log_warning(&m_logger, "Glimm: saved voice refused (not the name of an installed espeak-ng voice)\n");
      return type == m_uris.atomString ? LV2_STATE_ERR_UNKNOWN : LV2_STATE_ERR_BAD_TYPE;
    }
    m_voice.copyVoice(m_voiceName);
    m_restored.store(true, std::memory_order_release);
    return LV2_STATE_SUCCESS;
  }

  LV2_State_Status restoreText(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(handle, m_uris.text, &size, &type, &flags);
    if (!value) return LV2_STATE_SUCCESS;  // nothing saved: the text stays
    const long n = type == m_uris.atomString ? acceptText(value, size) : -1;
    if (n < 0) {
      if (m_hasLog)
        lv2_log_warning(&m_logger, "Glimm: saved text refused (not a UTF-8 string of at most %d bytes)\n",
                        int(kGlimmTextMaxBytes));
      return type == m_uris.atomString ? LV2_STATE_ERR_UNKNOWN : LV2_STATE_ERR_BAD_TYPE;
    }
    {
      // A text job still queued was sent before this state: it must not undo it.
      std::lock_guard<std::mutex> lock(m_restoreMutex);
      m_generation.fetch_add(1, std::memory_order_relaxed);
      m_voice.setText(static_cast<const char*>(value), size_t(n));
    }
    std::memset(m_text, 0, sizeof m_text);
    std::memcpy(m_text, value, size_t(n));
    m_textSize = size_t(n);
    m_restored.store(true, std::memory_order_release);
    return LV2_STATE_SUCCESS;
  }

  void applyPorts() {
    for (int i = 0; i < kGlimmParamCount; ++i) {
      if (!m_ports[i]) continue;
      const float v = *m_ports[i];
      // NaN compares unequal and is refused by setParameter each time: harmless.
      if (v != m_lastPort[i]) {
        m_lastPort[i] = v;
        m_voice.setParameter(i, v);
      }
    }
  }

  // Walks the sequence by hand: every size it claims is checked against what
  // encloses it, so a malformed buffer is cut short rather than overrun.
  void readEvents(uint32_t frames) {
    if (!m_control || m_control->atom.type != m_uris.atomSequence) return;
    const uint64_t total = m_control->atom.size;
    const auto* body = reinterpret_cast<const uint8_t*>(&m_control->body);
    uint64_t off = sizeof(LV2_Atom_Sequence_Body);
    while (off + sizeof(LV2_Atom_Event) <= total) {
      const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(body + off);
      const uint64_t room = total - off - sizeof(LV2_Atom_Event);
      if (ev->body.size > room) return;
      // Frame times outside the block count as its last frame.
      const int64_t t = ev->time.frames;
      handleEvent(ev->body, t < 0 ? 0u : uint32_t(std::min<int64_t>(t, frames ? frames - 1 : 0)));
      off += sizeof(LV2_Atom_Event) + pad(ev->body.size);
    }
  }

  void handleEvent(const LV2_Atom& atom, uint32_t frame) {
    if (atom.type == m_uris.midiEvent) {
      // A channel message of two or three bytes; sysex and the rest are passed
      // over by the voice.
      const auto* msg = reinterpret_cast<const uint8_t*>(&atom + 1);
      if (atom.size >= 3)
        midi(msg[0], msg[1], msg[2], frame);
      else if (atom.size == 2)
        midi(msg[0], msg[1], 0, frame);
      return;
    }
    PatchMessage m;
    if (!parsePatch(atom, m)) return;
    if (m.otype == m_uris.patchGet) {
      if (m.property == 0 || m.property == m_uris.text) m_announce = true;
      if (m.property == 0 || m.property == m_uris.voice) m_announceVoice = true;
    } else if (m.otype == m_uris.patchSet) {
      if (m.property == m_uris.text)
        setText(m.value);
      else if (m.property == m_uris.voice)
        setVoice(m.value);
      else if (m.property == m_uris.speak)
        schedulePlay();
    }
  }

  bool isObject(LV2_URID type) const {
    return type == m_uris.atomObject || type == m_uris.atomBlank || type == m_uris.atomResource;
  }

  // False for anything that is not a well-formed object; atom.size was
  // already checked against the sequence.
  bool parsePatch(const LV2_Atom& atom, PatchMessage& m) const {
    if (!isObject(atom.type) || atom.size < sizeof(LV2_Atom_Object_Body)) return false;
    const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(&atom);
    m.otype = obj->body.otype;
    const auto* base = reinterpret_cast<const uint8_t*>(&obj->body);
    const uint64_t total = atom.size;
    uint64_t off = sizeof(LV2_Atom_Object_Body);
    while (off + sizeof(LV2_Atom_Property_Body) <= total) {
      const auto* prop = reinterpret_cast<const LV2_Atom_Property_Body*>(base + off);
      if (prop->value.size > total - off - sizeof(LV2_Atom_Property_Body)) return false;
      if (prop->key == m_uris.patchProperty) {
        if (prop->value.type != m_uris.atomURID || prop->value.size < sizeof(LV2_URID)) return false;
        m.property = reinterpret_cast<const LV2_Atom_URID*>(&prop->value)->body;
      } else if (prop->key == m_uris.patchValue) {
        m.value = &prop->value;
      }
      off += sizeof(LV2_Atom_Property_Body) + pad(prop->value.size);
    }
    return true;
  }

  // Straight to the voice, unless a job is still waiting for the worker:
  // then behind it, in order.
  void midi(uint8_t status, uint8_t data1, uint8_t data2, uint32_t frame) {
    if (m_waiting.load(std::memory_order_acquire) == 0) {
      m_voice.midi(status, data1, data2, frame);
      return;
    }
    Job job;
    job.kind = Job::kMidi;
    job.size = kMidiJobBytes;
    const uint8_t msg[3] = {status, data1, data2};
    std::memcpy(job.bytes, msg, 3);
    std::memcpy(job.bytes + 3, &frame, sizeof frame);
    // Late is better than lost: a full worker takes the note at once.
    if (!schedule(job, kJobHeader + kMidiJobBytes)) m_voice.midi(status, data1, data2, frame);
  }

  bool schedule(Job& job, uint32_t size) {
    job.generation = m_generation.load(std::memory_order_relaxed);
    m_waiting.fetch_add(1, std::memory_order_acq_rel);
    if (m_schedule->schedule_work(m_schedule->handle, size, &job) == LV2_WORKER_SUCCESS) return true;
    m_waiting.fetch_sub(1, std::memory_order_acq_rel);
    return false;
  }

  void setText(const LV2_Atom* value) {
    const long n = value && value->type == m_uris.atomString ? acceptText(value + 1, value->size) : -1;
    if (n < 0) {
      if (m_hasLog)
        lv2_log_warning(&m_logger, "Glimm: text refused (not a UTF-8 string of at most %d bytes)\n",
                        int(kGlimmTextMaxBytes));
      return;
    }
    Job job;
    job.kind = Job::kText;
    job.size = uint32_t(n);
    std::memcpy(job.bytes, value + 1, size_t(n));
    job.bytes[n] = 0;
    // The render-side copy follows the voice only once the worker has the text.
    if (!schedule(job, kJobHeader + job.size + 1)) {
      if (m_hasLog) lv2_log_warning(&m_logger, "Glimm: text refused (the host's worker is full)\n");
      return;
    }
    std::memcpy(m_text, job.bytes, size_t(n) + 1);
    std::memset(m_text + n + 1, 0, sizeof m_text - size_t(n) - 1);
    m_textSize = size_t(n);
    m_announce = true;
  }

  void setVoice(const LV2_Atom* value) {
    const long n = value && value->type == m_uris.atomString ? acceptVoiceName(value + 1, value->size) : -1;
    if (n < 0) {
      if (m_hasLog)
        lv2_log_warning(&m_logger, "Glimm: voice refused (not a UTF-8 string of 1 to %d bytes)\n",
                        int(kGlimmVoiceMaxBytes));
      return;
    }
    Job job;
    job.kind = Job::kVoice;
    job.size = uint32_t(n);
    std::memcpy(job.bytes, value + 1, size_t(n));
    job.bytes[n] = 0;
    // Whether the voice exists, the worker finds out; its answer is announced.
    if (!schedule(job, kJobHeader + job.size + 1) && m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: voice refused (the host's worker is full)\n");
  }

  void schedulePlay() {
    Job job;
    job.kind = Job::kPlay;
    job.size = 0;
    if (!schedule(job, kJobHeader) && m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: speak request dropped (the host's worker is full)\n");
  }

  // An announcement that does not fit waits for the next cycle.
  void writeNotify() {
    if (!m_notify) return;
    const uint32_t capacity = m_notify->atom.size;
    if (capacity < sizeof(LV2_Atom_Sequence)) {
      m_notify->atom.size = 0;
      return;
    }
    if (m_restored.exchange(false, std::memory_order_acquire)) m_announce = m_announceVoice = true;
    lv2_atom_forge_set_buffer(&m_forge, reinterpret_cast<uint8_t*>(m_notify), capacity);
    LV2_Atom_Forge_Frame seq;
    lv2_atom_forge_sequence_head(&m_forge, &seq, 0);
    if (m_announce) {
      // Header, property, value and the string: all must fit, or none is sent.
      const uint64_t need = sizeof(LV2_Atom_Sequence) + sizeof(LV2_Atom_Event) + sizeof(LV2_Atom_Object) +
                            2 * sizeof(LV2_Atom_Property_Body) + sizeof(LV2_Atom_URID) + pad(m_textSize + 1) + 16;
      if (need <= capacity) {
        LV2_Atom_Forge_Frame obj;
        lv2_atom_forge_frame_time(&m_forge, 0);
        lv2_atom_forge_object(&m_forge, &obj, 0, m_uris.patchSet);
        lv2_atom_forge_key(&m_forge, m_uris.patchProperty);
        lv2_atom_forge_urid(&m_forge, m_uris.text);
        lv2_atom_forge_key(&m_forge, m_uris.patchValue);
        lv2_atom_forge_string(&m_forge, m_text, uint32_t(m_textSize));
        lv2_atom_forge_pop(&m_forge, &obj);
        m_announce = false;
      }
    }
    if (m_announceVoice) {
      const size_t voiceSize = strnlen(m_voiceName, kGlimmVoiceMaxBytes);
      const uint64_t need = sizeof(LV2_Atom_Event) + sizeof(LV2_Atom_Object) + 2 * sizeof(LV2_Atom_Property_Body) +
                            sizeof(LV2_Atom_URID) + pad(voiceSize + 1) + 16;
      if (m_forge.offset + need <= capacity) {
        LV2_Atom_Forge_Frame obj;
        lv2_atom_forge_frame_time(&m_forge, 0);
        lv2_atom_forge_object(&m_forge, &obj, 0, m_uris.patchSet);
        lv2_atom_forge_key(&m_forge, m_uris.patchProperty);
        lv2_atom_forge_urid(&m_forge, m_uris.voice);
        lv2_atom_forge_key(&m_forge, m_uris.patchValue);
        lv2_atom_forge_string(&m_forge, m_voiceName, uint32_t(voiceSize));
        lv2_atom_forge_pop(&m_forge, &obj);
        m_announceVoice = false;
      }
    }
    lv2_atom_forge_pop(&m_forge, &seq);
  }

  void render(uint32_t frames) {
    // Free-wheeling, nobody listens in real time: run() waits for the worker
    // so every sound starts on its frame, however fast the host renders.
    const bool offline = m_freeWheel && *m_freeWheel > 0.5f;
    size_t done = 0;
    if (m_out) {
      done = m_voice.render(m_out, frames, offline);
      std::fill(m_out + done, m_out + frames, 0.0f);
      return;
    }
    // Unconnected output: the voice still moves on, so it stays in time.
    while (done < frames) {
      const size_t chunk = std::min<size_t>(frames - done, kScratchFrames);
      m_voice.render(m_scratch, chunk, offline);
      done += chunk;
    }
  }

  static constexpr size_t kScratchFrames = 256;

  const Uris m_uris;
  LV2_Worker_Schedule* const m_schedule;
  // Without the host's log, warnings are dropped: stderr is no place for run().
  const bool m_hasLog;
  LV2_Log_Logger m_logger;
  LV2_Atom_Forge m_forge;
  VoiceController m_voice;
  bool m_started = false;

  const LV2_Atom_Sequence* m_control = nullptr;
  LV2_Atom_Sequence* m_notify = nullptr;
  float* m_out = nullptr;
  const float* m_ports[kGlimmParamCount] = {};
  float m_lastPort[kGlimmParamCount];
  const float* m_freeWheel = nullptr;

  // The text as run() knows it, for patch:Get; render thread only, except
  // restore (see there).
  char m_text[kGlimmTextBufferSize];
  size_t m_textSize = 0;
  bool m_announce = false;
  // The voice in use as run() knows it, from the worker's answers; the same rules as the text.
  char m_voiceName[kGlimmVoiceBufferSize];
  bool m_announceVoice = false;
  std::atomic<bool> m_restored{false};
  // Jobs scheduled and not yet worked; while nonzero, MIDI queues too.
  std::atomic<uint32_t> m_waiting{0};
  // Bumped by each restore. Taken with m_restoreMutex by restore and the
  // worker only, never by run().
  std::atomic<uint32_t> m_generation{0};
  std::mutex m_restoreMutex;
  float m_scratch[kScratchFrames];
};

Instance* self(LV2_Handle h) { return static_cast<Instance*>(h); }

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
  LV2_URID_Map* map = nullptr;
  LV2_Worker_Schedule* schedule = nullptr;
  LV2_Log_Log* log = nullptr;
  for (int i = 0; features && features[i]; ++i) {
    const LV2_Feature* f = features[i];
    if (!f->URI) continue;
    if (!std::strcmp(f->URI, LV2_URID__map))
      map = static_cast<LV2_URID_Map*>(f->data);
    else if (!std::strcmp(f->URI, LV2_WORKER__schedule))
      schedule = static_cast<LV2_Worker_Schedule*>(f->data);
    else if (!std::strcmp(f->URI, LV2_LOG__log))
      log = static_cast<LV2_Log_Log*>(f->data);
  }
  if (!map || !schedule) {
    if (log)
      log->printf(log->handle, map ? map->map(map->handle, LV2_LOG__Error) : 0,
                  "Glimm: the host lacks urid:map or work:schedule\n");
    return nullptr;
  }
  return glimm::atBoundary(
      [&]() -> LV2_Handle {
        auto* inst = new Instance(rate, map, schedule, log);
        if (inst->started()) return inst;
        if (log)
          log->printf(log->handle, map->map(map->handle, LV2_LOG__Error),
                      "Glimm: the speech engine did not start at %g Hz\n", rate);
        delete inst;
        return nullptr;
      },
      LV2_Handle(nullptr));
}

void connectPort(LV2_Handle h, uint32_t port, void* data) { self(h)->connect(port, data); }
void run(LV2_Handle h, uint32_t frames) { self(h)->run(frames); }
void cleanup(LV2_Handle h) { delete self(h); }

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       uint32_t size, const void* data) {
  return glimm::atBoundary([&] { return self(h)->work(respond, handle, size, data); }, LV2_WORKER_ERR_UNKNOWN,
                           LV2_WORKER_ERR_NO_SPACE);
}
LV2_Worker_Status workResponse(LV2_Handle h, uint32_t size, const void* data) {
  return self(h)->workResponse(size, data);
}

LV2_State_Status save(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                      const LV2_Feature* const*) {
  return glimm::atBoundary([&] { return self(h)->save(store, handle); }, LV2_STATE_ERR_UNKNOWN);
}
LV2_State_Status restore(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
                         const LV2_Feature* const*) {
  return glimm::atBoundary([&] { return self(h)->restore(retrieve, handle); }, LV2_STATE_ERR_UNKNOWN);
}

const void* extensionData(const char* uri) {
  static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
  static const LV2_State_Interface state = {save, restore};
  if (!uri) return nullptr;
  if (!std::strcmp(uri, LV2_WORKER__interface)) return &worker;
  if (!std::strcmp(uri, LV2_STATE__interface)) return &state;
  return nullptr;
}

const LV2_Descriptor kDescriptor = {GLIMM_LV2_URI, instantiate, connectPort, nullptr,
                                    run,           nullptr,     cleanup,     extensionData};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : nullptr;
}
