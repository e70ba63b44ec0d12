// The component, processor, controller and MIDI mapping of one instance.
#include "GlimmVst3.h"

#include "Boundary.h"
#include "GlimmContract.h"
#include "PluginState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace glimm::vst3 {

namespace {

Plugin* self(void* s) { return *reinterpret_cast<Plugin**>(static_cast<char*>(s) + sizeof(void*)); }

v3_result query(void* s, const v3_tuid iid, void** obj) { return self(s)->query(iid, obj); }
uint32_t ref(void* s) { return self(s)->ref(); }
uint32_t unref(void* s) { return self(s)->unref(); }
v3_result ok(void*) { return V3_OK; }
v3_result initialize(void*, v3_funknown**) { return V3_OK; }

void ascii16(int16_t* out, size_t size, const char* s) {
  size_t i = 0;
  for (; s[i] && i + 1 < size; ++i) out[i] = int16_t(uint8_t(s[i]));
  out[i] = 0;
}

bool isParameter(v3_param_id id) { return id < uint32_t(kGlimmParamCount); }

const v3_component_cpp kComponentTable = {
    {query, ref, unref},
    {initialize, ok},
    {[](void*, v3_tuid) -> v3_result { return V3_NOT_IMPLEMENTED; },  // the controller is this object
     [](void*, int32_t) -> v3_result { return V3_OK; },
     [](void*, int32_t type, int32_t direction) -> int32_t {
       return (type == V3_AUDIO && direction == V3_OUTPUT) || (type == V3_EVENT && direction == V3_INPUT) ? 1 : 0;
     },
     [](void* s, int32_t type, int32_t direction, int32_t index, v3_bus_info* info) {
       return self(s)->busInfo(type, direction, index, info);
     },
     [](void*, v3_routing_info*, v3_routing_info*) -> v3_result { return V3_NOT_IMPLEMENTED; },
     [](void*, int32_t, int32_t, int32_t, v3_bool) -> v3_result { return V3_OK; },
     [](void* s, v3_bool active) {
       return glimm::atBoundary([&] { return self(s)->setActive(active != 0); }, v3_result(V3_INTERNAL_ERR));
     },
     [](void* s, v3_bstream** stream) {
       return glimm::atBoundary([&] { return self(s)->setState(stream); }, v3_result(V3_INTERNAL_ERR));
     },
     [](void* s, v3_bstream** stream) {
       return glimm::atBoundary([&] { return self(s)->getState(stream); }, v3_result(V3_INTERNAL_ERR));
     }},
};

const v3_audio_processor_cpp kProcessorTable = {
    {query, ref, unref},
    {[](void*, v3_speaker_arrangement*, int32_t inputs, v3_speaker_arrangement* outputs, int32_t count) -> v3_result {
       const bool stereo = inputs == 0 && count == 1 && outputs && outputs[0] == (V3_SPEAKER_L | V3_SPEAKER_R);
       return stereo ? V3_TRUE : V3_FALSE;
     },
     [](void*, int32_t direction, int32_t index, v3_speaker_arrangement* arrangement) -> v3_result {
       if (direction != V3_OUTPUT || index != 0 || !arrangement) return V3_INVALID_ARG;
       *arrangement = V3_SPEAKER_L | V3_SPEAKER_R;
       return V3_OK;
     },
     [](void*, int32_t size) -> v3_result { return size == V3_SAMPLE_32 ? V3_OK : V3_NOT_IMPLEMENTED; },
     [](void* s) { return self(s)->latency(); },
     [](void* s, v3_process_setup* setup) {
       return glimm::atBoundary([&] { return self(s)->setup(setup); }, v3_result(V3_INTERNAL_ERR));
     },
     [](void*, v3_bool) -> v3_result { return V3_OK; },
     [](void* s, v3_process_data* data) { return self(s)->process(data); }, [](void*) -> uint32_t { return 0; }},
};

const v3_edit_controller_cpp kControllerTable = {
    {query, ref, unref},
    {initialize, ok},
    {// The component's state already holds everything: nothing to keep here.
     [](void*, v3_bstream**) -> v3_result { return V3_OK; }, [](void*, v3_bstream**) -> v3_result { return V3_OK; },
     [](void*, v3_bstream**) -> v3_result { return V3_OK; }, [](void*) -> int32_t { return kGlimmParamCount + 2; },
     [](void* s, int32_t index, v3_param_info* info) { return self(s)->paramInfo(index, info); },
     [](void*, v3_param_id id, double normalised, v3_str_128 out) -> v3_result {
       char text[64];
       const double v = Plugin::toPlain(id, normalised);
       if (isParameter(id) && kGlimmParameters[id].toggle)
         std::snprintf(text, sizeof text, "%s", v >= 0.5 ? "on" : "off");
       else
         std::snprintf(text, sizeof text, "%g", v);
       ascii16(out, 128, text);
       return V3_OK;
     },
     [](void*, v3_param_id id, int16_t* in, double* out) -> v3_result {
       char text[64];
       size_t i = 0;
       for (; in && in[i] && i + 1 < sizeof text; ++i) text[i] = char(in[i] & 0x7F);
       text[i] = 0;
       char* end = nullptr;
       const double v = std::strtod(text, &end);
       if (end == text || !std::isfinite(v) || !out) return V3_INVALID_ARG;
       *out = Plugin::toNormalised(id, v);
       return V3_OK;
     },
     [](void*, v3_param_id id, double n) { return Plugin::toPlain(id, n); },
     [](void*, v3_param_id id, double p) { return Plugin::toNormalised(id, p); },
     [](void* s, v3_param_id id) { return self(s)->normalised(id); },
     [](void* s, v3_param_id id, double n) { return self(s)->setNormalised(id, n); },
     [](void* s, v3_component_handler** h) { return self(s)->setHandler(h); },
     [](void* s, const char* name) {
       return glimm::atBoundary([&] { return self(s)->createView(name); }, static_cast<v3_plugin_view**>(nullptr));
     }},
};

// Pitch bend and all notes off (or all sound off), on any channel.
const v3_midi_mapping_cpp kMidiMappingTable = {
    {query, ref, unref},
    {[](void*, int32_t bus, int16_t, int16_t cc, v3_param_id* id) -> v3_result {
      constexpr int16_t kPitchBend = 129;
      if (bus != 0 || !id) return V3_FALSE;
      if (cc == kPitchBend)
        *id = kBendParam;
      else if (cc == 120 || cc == 123)
        *id = kAllOffParam;
      else
        return V3_FALSE;
      return V3_TRUE;
    }},
};

}  // namespace

const v3_tuid kClassId = V3_ID(kGlimmComponentManufacturer, kGlimmComponentSubType, 0x56535433, 0x00000001);

Plugin::Plugin()
    : m_component{&kComponentTable, this},
      m_processor{&kProcessorTable, this},
      m_controller{&kControllerTable, this},
      m_midiMapping{&kMidiMappingTable, this},
      m_voice(nullptr) {
  m_voice.setText(state::kDefaultText, sizeof state::kDefaultText - 1);
}

Plugin::~Plugin() {
  if (m_handler) v3_cpp_obj_unref(m_handler);
  m_voice.stop();
}

v3_result Plugin::query(const v3_tuid iid, void** obj) {
  if (!obj) return V3_INVALID_ARG;
  void* found = nullptr;
  if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid) ||
      v3_tuid_match(iid, v3_component_iid))
    found = &m_component;
  else if (v3_tuid_match(iid, v3_audio_processor_iid))
    found = &m_processor;
  else if (v3_tuid_match(iid, v3_edit_controller_iid))
    found = &m_controller;
  else if (v3_tuid_match(iid, v3_midi_mapping_iid))
    found = &m_midiMapping;
  *obj = found;
  if (!found) return V3_NO_INTERFACE;
  ref();
  return V3_OK;
}

uint32_t Plugin::unref() {
  const uint32_t left = --m_refs;
  if (left == 0) glimm::atBoundary([this] { delete this; });
  return left;
}

v3_result Plugin::busInfo(int32_t type, int32_t direction, int32_t index, v3_bus_info* info) const {
  if (index != 0 || !info) return V3_INVALID_ARG;
  std::memset(info, 0, sizeof *info);
  info->media_type = type;
  info->direction = direction;
  info->bus_type = V3_MAIN;
  info->flags = V3_DEFAULT_ACTIVE;
  if (type == V3_AUDIO && direction == V3_OUTPUT) {
    // Stereo: hosts put a one-channel instrument on the left of a stereo track.
    info->channel_count = 2;
    ascii16(info->bus_name, 128, "voice");
  } else if (type == V3_EVENT && direction == V3_INPUT) {
    info->channel_count = 16;
    ascii16(info->bus_name, 128, "notes");
  } else {
    return V3_INVALID_ARG;
  }
  return V3_OK;
}

v3_result Plugin::setup(const v3_process_setup* setup) {
  if (!setup || !(setup->sample_rate > 0)) return V3_INVALID_ARG;
  if (m_voice.started() && setup->sample_rate != m_rate) m_voice.stop();
  m_rate = setup->sample_rate;
  m_maxBlock = setup->max_block_size;
  m_offline = setup->process_mode == V3_OFFLINE;
  return V3_OK;
}

// The latency is the longest block the host will render (at least one
// 256-frame block at 48 kHz), set here by rendering one such silent block,
// since VST3 may change it only through a restart from the UI thread.
v3_result Plugin::setActive(bool active) {
  if (!active) return V3_OK;
  if (!m_voice.start(m_rate)) return V3_INTERNAL_ERR;
  if (m_maxBlock > 0 && uint64_t(m_maxBlock) > m_voice.latencyFrames()) {
    std::vector<float> silence(static_cast<size_t>(m_maxBlock));
    m_voice.render(silence.data(), silence.size());
  }
  return V3_OK;
}

v3_result Plugin::getState(v3_bstream** stream) const {
  if (!stream) return V3_INVALID_ARG;
  std::vector<uint8_t> bytes = state::save(m_voice);
  size_t done = 0;
  while (done < bytes.size()) {
    int32_t n = 0;
    if (v3_cpp_obj(stream)->write(stream, bytes.data() + done, int32_t(bytes.size() - done), &n) != V3_OK || n <= 0)
      return V3_INTERNAL_ERR;
    done += size_t(n);
  }
  return V3_OK;
}

v3_result Plugin::setState(v3_bstream** stream) {
  if (!stream) return V3_INVALID_ARG;
  // One byte past the limit tells an oversize stream from a full one.
  std::vector<uint8_t> bytes(state::kMaxBytes + 1);
  size_t have = 0;
  while (have < bytes.size()) {
    int32_t n = 0;
    if (v3_cpp_obj(stream)->read(stream, bytes.data() + have, int32_t(bytes.size() - have), &n) != V3_OK)
      return V3_FALSE;
    if (n <= 0) break;
    have += std::min(size_t(n), bytes.size() - have);
  }
  if (!state::load(m_voice, bytes.data(), have)) return V3_FALSE;
  if (m_handler) v3_cpp_obj(m_handler)->restart_component(m_handler, V3_RESTART_PARAM_VALUES_CHANGED);
  return V3_OK;
}

void Plugin::applyParameters(v3_param_changes** changes) {
  if (!changes) return;
  const int32_t count = v3_cpp_obj(changes)->get_param_count(changes);
  for (int32_t i = 0; i < count; ++i) {
    v3_param_value_queue** q = v3_cpp_obj(changes)->get_param_data(changes, i);
    if (!q) continue;
    const v3_param_id id = v3_cpp_obj(q)->get_param_id(q);
    const int32_t points = v3_cpp_obj(q)->get_point_count(q);
    for (int32_t p = 0; p < points; ++p) {
      int32_t offset = 0;
      double value = 0;
      if (v3_cpp_obj(q)->get_point(q, p, &offset, &value) != V3_OK || !std::isfinite(value)) continue;
      const uint32_t at = uint32_t(std::max(0, offset));
      if (isParameter(id) && p + 1 == points) {
        m_voice.setParameter(int(id), float(toPlain(id, value)));
      } else if (id == kBendParam) {
        const auto bend = uint32_t(std::lround(std::clamp(value, 0.0, 1.0) * 16383));
        m_voice.midi(0xE0, bend & 0x7F, bend >> 7, at);
      } else if (id == kAllOffParam) {
        m_voice.midi(0xB0, 123, 0, at);
      }
    }
  }
}

void Plugin::applyEvents(v3_event_list** events) {
  if (!events) return;
  const uint32_t count = v3_cpp_obj(events)->get_event_count(events);
  for (uint32_t i = 0; i < count; ++i) {
    v3_event e{};
    if (v3_cpp_obj(events)->get_event(events, int32_t(i), &e) != V3_OK) continue;
    const uint32_t at = uint32_t(std::max(0, e.sample_offset));
    if (e.type == V3_EVENT_NOTE_ON) {
      const float v = std::isfinite(e.note_on.velocity) ? std::clamp(e.note_on.velocity, 0.0f, 1.0f) : 1.0f;
      // A velocity that rounds to 0 is still a note-on, not MIDI's note-off.
      const uint32_t velocity = std::max<uint32_t>(1, uint32_t(std::lround(v * 127)));
      m_voice.midi(0x90 | (uint32_t(e.note_on.channel) & 15), uint32_t(e.note_on.pitch), velocity, at);
    } else if (e.type == V3_EVENT_NOTE_OFF) {
      m_voice.midi(0x80 | (uint32_t(e.note_off.channel) & 15), uint32_t(e.note_off.pitch), 0, at);
    }
  }
}

v3_result Plugin::process(v3_process_data* data) {
  if (!data) return V3_INVALID_ARG;
  m_voice.markRenderThread();
  applyParameters(data->input_params);
  applyEvents(data->input_events);
  if (data->nframes <= 0 || data->num_output_buses < 1 || !data->outputs) return V3_OK;
  v3_audio_bus_buffers& bus = data->outputs[0];
  if (bus.num_channels < 1 || !bus.channel_buffers_32 || !bus.channel_buffers_32[0]) return V3_OK;
  float* left = bus.channel_buffers_32[0];
  const size_t frames = size_t(data->nframes);
  const size_t done = m_voice.render(left, frames, m_offline || data->process_mode == V3_OFFLINE);
  std::fill(left + done, left + frames, 0.0f);
  for (int32_t c = 1; c < bus.num_channels; ++c)
    if (bus.channel_buffers_32[c]) std::copy(left, left + frames, bus.channel_buffers_32[c]);
  bus.channel_silence_bitset = 0;
  return V3_OK;
}

v3_result Plugin::paramInfo(int32_t index, v3_param_info* info) const {
  if (!info || index < 0 || index >= kGlimmParamCount + 2) return V3_INVALID_ARG;
  std::memset(info, 0, sizeof *info);
  if (index >= kGlimmParamCount) {
    const bool bend = index == kGlimmParamCount;
    info->param_id = bend ? kBendParam : kAllOffParam;
    ascii16(info->title, 128, bend ? "pitch bend" : "all notes off");
    ascii16(info->short_title, 128, bend ? "bend" : "off");
    info->default_normalised_value = bend ? 0.5 : 0;
    info->flags = V3_PARAM_IS_HIDDEN;
    return V3_OK;
  }
  const GlimmParameterFacts& p = kGlimmParameters[index];
  info->param_id = v3_param_id(p.index);
  ascii16(info->title, 128, p.name);
  ascii16(info->short_title, 128, p.symbol);
  info->step_count = p.toggle ? 1 : p.integer ? int32_t(p.maximum - p.minimum) : 0;
  info->default_normalised_value = toNormalised(info->param_id, p.defaultValue);
  info->flags = V3_PARAM_CAN_AUTOMATE;
  return V3_OK;
}

double Plugin::toPlain(v3_param_id id, double n) {
  if (!isParameter(id)) return std::clamp(n, 0.0, 1.0);
  const GlimmParameterFacts& p = kGlimmParameters[id];
  const double v = p.minimum + std::clamp(n, 0.0, 1.0) * (p.maximum - p.minimum);
  return p.integer || p.toggle ? std::round(v) : v;
}

double Plugin::toNormalised(v3_param_id id, double plain) {
  if (!isParameter(id)) return std::clamp(plain, 0.0, 1.0);
  const GlimmParameterFacts& p = kGlimmParameters[id];
  return std::clamp((plain - p.minimum) / (p.maximum - p.minimum), 0.0, 1.0);
}

double Plugin::normalised(v3_param_id id) const {
  if (isParameter(id)) return toNormalised(id, m_voice.parameter(int(id)));
  return id == kBendParam ? 0.5 : 0.0;
}

v3_result Plugin::setNormalised(v3_param_id id, double value) {
  if (!isParameter(id)) return id == kBendParam || id == kAllOffParam ? V3_OK : V3_INVALID_ARG;
  return std::isfinite(value) && m_voice.setParameter(int(id), float(toPlain(id, value))) ? V3_OK : V3_INVALID_ARG;
}

v3_result Plugin::setHandler(v3_component_handler** handler) {
  if (handler) v3_cpp_obj_ref(handler);
  if (m_handler) v3_cpp_obj_unref(m_handler);
  m_handler = handler;
  return V3_OK;
}

void Plugin::editFromPanel(int index, float value) {
  if (!m_voice.setParameter(index, value) || !m_handler) return;
  const auto id = v3_param_id(index);
  const double n = toNormalised(id, m_voice.parameter(index));
  v3_cpp_obj(m_handler)->begin_edit(m_handler, id);
  v3_cpp_obj(m_handler)->perform_edit(m_handler, id, n);
  v3_cpp_obj(m_handler)->end_edit(m_handler, id);
}

}  // namespace glimm::vst3
