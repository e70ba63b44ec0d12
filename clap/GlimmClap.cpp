// The instance: lifecycle, audio, parameters, state and latency.
#include "GlimmClap.h"

#include "GlimmContract.h"
#include "PluginState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace glimm::clap {

namespace {

template <typename T>
const T* hostExtension(const clap_host_t* host, const char* id) {
  return host->get_extension ? static_cast<const T*>(host->get_extension(host, id)) : nullptr;
}

float clampToRange(uint32_t index, double value) {
  const GlimmParameterFacts& p = kGlimmParameters[index];
  return float(std::clamp(value, double(p.minimum), double(p.maximum)));
}

}  // namespace

Plugin::Plugin(const clap_host_t* host) : m_plugin(kPluginTemplate), m_host(host), m_voice(nullptr) {
  m_plugin.plugin_data = this;
  m_voice.setText(state::kDefaultText, sizeof state::kDefaultText - 1);
}

Plugin::~Plugin() {
  guiDestroy();
  m_voice.stop();
}

bool Plugin::init() {
  m_hostParams = hostExtension<clap_host_params_t>(m_host, CLAP_EXT_PARAMS);
  m_hostLatency = hostExtension<clap_host_latency_t>(m_host, CLAP_EXT_LATENCY);
  m_hostTimer = hostExtension<clap_host_timer_support_t>(m_host, CLAP_EXT_TIMER_SUPPORT);
  m_hostState = hostExtension<clap_host_state_t>(m_host, CLAP_EXT_STATE);
  return true;
}

// The voice outlives deactivation at the same rate: a restart asked for a
// longer latency must not start it again at the shorter one.
bool Plugin::activate(double rate) {
  if (m_voice.started() && rate != m_rate) m_voice.stop();
  m_rate = rate;
  if (!m_voice.start(rate)) return false;
  m_reportedLatency.store(m_voice.latencyFrames());
  m_restartAsked.store(false);
  return true;
}

void Plugin::reset() {
  // All sound off, on every channel the voice listens to.
  m_voice.midi(0xB0, 120, 0);
}

void Plugin::handleEvent(const clap_event_header_t* e) {
  if (e->space_id != CLAP_CORE_EVENT_SPACE_ID) return;
  switch (e->type) {
    case CLAP_EVENT_NOTE_ON:
    case CLAP_EVENT_NOTE_OFF:
    case CLAP_EVENT_NOTE_CHOKE: {
      if (e->size < sizeof(clap_event_note_t)) return;
      const auto* n = reinterpret_cast<const clap_event_note_t*>(e);
      if (n->key < 0 || n->key > 127) return;  // -1: every key, which one voice has no use for
      const uint32_t channel = uint32_t(std::clamp<int>(n->channel, 0, 15));
      if (e->type == CLAP_EVENT_NOTE_ON) {
        const double v = std::isfinite(n->velocity) ? std::clamp(n->velocity, 0.0, 1.0) : 1.0;
        // A velocity that rounds to 0 is still a note-on, not MIDI's note-off.
        m_voice.midi(0x90 | channel, uint32_t(n->key), std::max<uint32_t>(1, uint32_t(std::lround(v * 127))), e->time);
      } else {
        m_voice.midi(0x80 | channel, uint32_t(n->key), 0, e->time);
      }
      return;
    }
    case CLAP_EVENT_MIDI: {
      if (e->size < sizeof(clap_event_midi_t)) return;
      const auto* m = reinterpret_cast<const clap_event_midi_t*>(e);
      m_voice.midi(m->data[0], m->data[1], m->data[2], e->time);
      return;
    }
    case CLAP_EVENT_PARAM_VALUE: {
      if (e->size < sizeof(clap_event_param_value_t)) return;
      const auto* p = reinterpret_cast<const clap_event_param_value_t*>(e);
      if (p->param_id < uint32_t(kGlimmParamCount) && std::isfinite(p->value))
        m_voice.setParameter(int(p->param_id), clampToRange(p->param_id, p->value));
      return;
    }
    default:
      return;
  }
}

void Plugin::process(const clap_process_t* process) {
  m_voice.markRenderThread();
  if (process->in_events) {
    const uint32_t n = process->in_events->size(process->in_events);
    for (uint32_t i = 0; i < n; ++i)
      if (const clap_event_header_t* e = process->in_events->get(process->in_events, i)) handleEvent(e);
  }
  if (process->out_events) sendGuiChanges(process->out_events);
  const uint32_t frames = process->frames_count;
  if (process->audio_outputs_count < 1 || !process->audio_outputs[0].data32 ||
      process->audio_outputs[0].channel_count < 1)
    return;
  float* const* out = process->audio_outputs[0].data32;
  const size_t done = m_voice.render(out[0], frames);
  std::fill(out[0] + done, out[0] + frames, 0.0f);
  // The mono voice on both channels: a host's stereo track hears it in the middle.
  for (uint32_t c = 1; c < process->audio_outputs[0].channel_count; ++c)
    if (out[c]) std::copy(out[0], out[0] + frames, out[c]);
  // A block longer than any before lengthens the voice's latency: the host
  // re-reads it after the restart it is asked for here.
  if (m_voice.latencyFrames() != m_reportedLatency.load(std::memory_order_relaxed) &&
      !m_restartAsked.exchange(true, std::memory_order_relaxed))
    m_host->request_restart(m_host);
}

bool Plugin::paramInfo(uint32_t index, clap_param_info_t* info) const {
  if (index >= uint32_t(kGlimmParamCount) || !info) return false;
  const GlimmParameterFacts& p = kGlimmParameters[index];
  std::memset(info, 0, sizeof *info);
  info->id = clap_id(p.index);
  info->flags = CLAP_PARAM_IS_AUTOMATABLE | (p.integer || p.toggle ? CLAP_PARAM_IS_STEPPED : 0);
  std::snprintf(info->name, sizeof info->name, "%s", p.name);
  info->min_value = p.minimum;
  info->max_value = p.maximum;
  info->default_value = p.defaultValue;
  return true;
}

bool Plugin::paramValue(clap_id id, double* value) const {
  if (id >= uint32_t(kGlimmParamCount) || !value) return false;
  *value = m_voice.parameter(int(id));
  return true;
}

bool Plugin::valueToText(clap_id id, double value, char* out, uint32_t size) {
  if (id >= uint32_t(kGlimmParamCount) || !out || size == 0) return false;
  const GlimmParameterFacts& p = kGlimmParameters[id];
  if (p.toggle)
    std::snprintf(out, size, "%s", value >= 0.5 ? "on" : "off");
  else if (p.integer)
    std::snprintf(out, size, "%ld", std::lround(std::clamp(value, double(p.minimum), double(p.maximum))));
  else
    std::snprintf(out, size, "%.2f", value);
  return true;
}

bool Plugin::textToValue(clap_id id, const char* text, double* value) {
  if (id >= uint32_t(kGlimmParamCount) || !text || !value) return false;
  if (kGlimmParameters[id].toggle && (std::strcmp(text, "on") == 0 || std::strcmp(text, "off") == 0)) {
    *value = text[1] == 'n' ? 1.0 : 0.0;
    return true;
  }
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v)) return false;
  *value = clampToRange(id, v);
  return true;
}

void Plugin::flush(const clap_input_events_t* in, const clap_output_events_t* out) {
  if (in) {
    const uint32_t n = in->size(in);
    for (uint32_t i = 0; i < n; ++i)
      if (const clap_event_header_t* e = in->get(in, i)) handleEvent(e);
  }
  if (out) sendGuiChanges(out);
}

void Plugin::sendGuiChanges(const clap_output_events_t* out) {
  GuiChange c;
  while (m_guiChanges.pop(c)) {
    clap_event_param_value_t e{};
    e.header.size = sizeof e;
    e.header.time = 0;
    e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    e.header.type = CLAP_EVENT_PARAM_VALUE;
    e.param_id = c.index;
    e.note_id = -1;
    e.port_index = e.channel = e.key = -1;
    e.value = c.value;
    out->try_push(out, &e.header);
  }
}

bool Plugin::save(const clap_ostream_t* stream) const {
  if (!stream || !stream->write) return false;
  const std::vector<uint8_t> bytes = state::save(m_voice);
  size_t done = 0;
  while (done < bytes.size()) {
    const int64_t n = stream->write(stream, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool Plugin::load(const clap_istream_t* stream) {
  if (!stream || !stream->read) return false;
  // One byte past the limit tells an oversize stream from a full one.
  std::vector<uint8_t> bytes(state::kMaxBytes + 1);
  size_t have = 0;
  while (have < bytes.size()) {
    const int64_t n = stream->read(stream, bytes.data() + have, bytes.size() - have);
    if (n < 0) return false;
    if (n == 0) break;
    have += size_t(std::min<int64_t>(n, int64_t(bytes.size() - have)));
  }
  if (!state::load(m_voice, bytes.data(), have)) return false;
  if (m_hostParams) m_hostParams->rescan(m_host, CLAP_PARAM_RESCAN_VALUES);
  return true;
}

uint32_t Plugin::latency() const {
  const uint64_t frames = m_voice.latencyFrames();
  m_reportedLatency.store(frames);
  return uint32_t(frames);
}

}  // namespace glimm::clap
