// The render side: ports, events, announcements and audio, all in run().
#include "GlimmDspInstance.h"

#include "PluginState.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace glimm::dsp {

uint32_t Work::stringWireSize() const { return kWorkHeader + size + 1; }

bool Work::holdsString(uint32_t received, size_t buffer) const {
  return size < buffer && kWorkHeader + size + 1 <= received;
}

Instance::Instance(double rate, LV2_URID_Map* map, LV2_Worker_Schedule* schedule, LV2_Log_Log* log)
    : m_uris(map), m_schedule(schedule), m_hasLog(log != nullptr), m_voice(nullptr), m_transport(m_uris) {
  lv2_log_logger_init(&m_logger, map, log);
  lv2_atom_forge_init(&m_forge, map);
  std::memset(m_text, 0, sizeof m_text);
  std::memset(m_voiceName, 0, sizeof m_voiceName);
  std::memcpy(m_voiceName, kGlimmDefaultVoice, sizeof kGlimmDefaultVoice);
  // Unequal to anything, so the first run applies every connected port.
  for (float& v : m_lastPort) v = std::numeric_limits<float>::quiet_NaN();
  // A new instance speaks on its first note, as in the other formats; a
  // restored state replaces this text, an empty one included.
  m_voice.setText(state::kDefaultText, sizeof state::kDefaultText - 1);
  keepText(state::kDefaultText, sizeof state::kDefaultText - 1);
  m_started = m_voice.start(rate);
}

void Instance::connect(uint32_t port, void* data) {
  if (port == kGlimmPortControl)
    m_control = static_cast<const LV2_Atom_Sequence*>(data);
  else if (port == kGlimmPortNotify)
    m_notify = static_cast<LV2_Atom_Sequence*>(data);
  else if (port == kGlimmPortOut)
    m_out = static_cast<float*>(data);
  else if (const int parameter = glimmPortParameter(port); parameter >= 0)
    m_ports[parameter] = static_cast<const float*>(data);
  else if (port == kGlimmPortFreeWheel)
    m_freeWheel = static_cast<const float*>(data);
  else if (port == kGlimmPortLatency)
    m_latency = static_cast<float*>(data);
}

void Instance::run(uint32_t frames) {
  m_voice.markRenderThread();
  // Free-wheeling, nobody listens in real time: run() waits for the workers
  // so every sound starts on its frame, however fast the host renders.
  m_offline = m_freeWheel && *m_freeWheel > 0.5f;
  applyPorts();
  lv2::forEachEvent(m_uris, m_control, frames,
                    [this](const LV2_Atom& atom, uint32_t frame) { handleEvent(atom, frame); });
  writeNotify();
  render(frames);
  m_clock += frames;
  // After the render: a longer block than any before has just lengthened it.
  if (m_latency) *m_latency = float(m_voice.latencyFrames());
}

void Instance::applyPorts() {
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

void Instance::handleEvent(const LV2_Atom& atom, uint32_t frame) {
  if (atom.type == m_uris.midiEvent) {
    // A channel message of two or three bytes; sysex and the rest are passed
    // over by the voice.
    const auto* msg = reinterpret_cast<const uint8_t*>(&atom + 1);
    if (atom.size >= 3)
      midi(msg[0], msg[1], msg[2], frame);
    else if (atom.size == 2)
      midi(msg[0], msg[1], 0, frame);
    else if (atom.size == 1)
      midi(msg[0], 0, 0, frame);
    return;
  }
  const Transport::Change change = m_transport.read(atom, m_clock + frame);
  // As MIDI Start, so it stays in order with the notes around it.
  if (change == Transport::Change::Restart) midi(0xFA, 0, 0, frame);
  if (change != Transport::Change::NotPosition) return;
  lv2::PatchMessage m;
  if (!lv2::parsePatch(m_uris, atom, m)) return;
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

// Straight to the voice, unless work is still waiting for the worker: then
// behind it, in order.
void Instance::midi(uint8_t status, uint8_t data1, uint8_t data2, uint32_t frame) {
  if (m_offline && m_waiting.load() != 0) waitForWorker();
  if (m_waiting.load(std::memory_order_acquire) == 0) {
    m_voice.midi(status, data1, data2, frame);
    return;
  }
  Work request;
  request.kind = Work::kMidi;
  request.size = kMidiWorkBytes;
  const uint8_t msg[3] = {status, data1, data2};
  std::memcpy(request.bytes, msg, 3);
  std::memcpy(request.bytes + 3, &frame, sizeof frame);
  // Late is better than lost: a full worker takes the note at once.
  if (!schedule(request, kWorkHeader + kMidiWorkBytes)) m_voice.midi(status, data1, data2, frame);
}

void Instance::waitForWorker() {
  if (m_workerStalled) return;
  std::unique_lock<std::mutex> lock(m_workMutex);
  // Counted before the check, so the worker's count-down is seen by one or
  // the other of us.
  m_workWaiters.fetch_add(1);
  const bool done = m_workDone.wait_for(lock, VoiceController::kOfflineWait, [this] { return m_waiting.load() == 0; });
  m_workWaiters.fetch_sub(1);
  if (!done) m_workerStalled = true;
}

bool Instance::schedule(Work& request, uint32_t size) {
  request.generation = m_generation.load(std::memory_order_relaxed);
  m_waiting.fetch_add(1, std::memory_order_acq_rel);
  if (m_schedule->schedule_work(m_schedule->handle, size, &request) == LV2_WORKER_SUCCESS) {
    // Free-wheeling, work takes effect where it was sent: a speak request
    // starts on its block, a note after a text sings that text on its frame.
    if (m_offline) waitForWorker();
    return true;
  }
  m_waiting.fetch_sub(1, std::memory_order_acq_rel);
  return false;
}

bool Instance::scheduleString(Work& request, Work::Kind kind, const LV2_Atom* value) {
  const bool text = kind == Work::kText;
  const char* what = text ? "text" : "voice";
  const long n = lv2::acceptString(m_uris, value, text ? lv2::acceptText : lv2::acceptVoiceName);
  if (n < 0) {
    if (m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: %s refused (not a UTF-8 string of %s%d bytes)\n", what,
                      text ? "at most " : "1 to ", text ? int(kGlimmTextMaxBytes) : int(kGlimmVoiceMaxBytes));
    return false;
  }
  request.kind = kind;
  request.size = uint32_t(n);
  std::memcpy(request.bytes, value + 1, size_t(n));
  request.bytes[n] = 0;
  if (schedule(request, request.stringWireSize())) return true;
  if (m_hasLog) lv2_log_warning(&m_logger, "Glimm: %s refused (the host's worker is full)\n", what);
  return false;
}

void Instance::setText(const LV2_Atom* value) {
  Work request;
  // The render-side copy follows the voice only once the worker has the text.
  if (!scheduleString(request, Work::kText, value)) return;
  keepText(request.bytes, request.size);
  m_announce = true;
}

void Instance::setVoice(const LV2_Atom* value) {
  Work request;
  // Whether the voice exists, the worker finds out; its answer is announced.
  (void)scheduleString(request, Work::kVoice, value);
}

void Instance::schedulePlay() {
  Work request;
  request.kind = Work::kPlay;
  request.size = 0;
  if (!schedule(request, kWorkHeader) && m_hasLog)
    lv2_log_warning(&m_logger, "Glimm: speak request dropped (the host's worker is full)\n");
}

void Instance::keepText(const char* text, size_t size) {
  std::memset(m_text, 0, sizeof m_text);
  std::memcpy(m_text, text, size);
  m_textSize = size;
}

// An announcement that does not fit waits for the next cycle.
void Instance::writeNotify() {
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
  // Event, object, property, value and the string: all must fit, or none is sent.
  const auto announce = [this, capacity](LV2_URID property, const char* s, size_t size) {
    if (m_forge.offset + lv2::setStringEventBytes(size) > capacity) return false;
    lv2_atom_forge_frame_time(&m_forge, 0);
    lv2::writeSetString(m_forge, m_uris, property, s, uint32_t(size));
    return true;
  };
  if (m_announce && announce(m_uris.text, m_text, m_textSize)) m_announce = false;
  if (m_announceVoice && announce(m_uris.voice, m_voiceName, strnlen(m_voiceName, kGlimmVoiceMaxBytes)))
    m_announceVoice = false;
  lv2_atom_forge_pop(&m_forge, &seq);
}

void Instance::render(uint32_t frames) {
  const bool offline = m_offline;
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

}  // namespace glimm::dsp
