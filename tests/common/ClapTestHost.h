// A CLAP host of our own, in-process, for the CLAP tests and benchmarks: it
// loads a .clap module, creates its plug-in, gives it the host extensions
// Glimm asks for (params, latency, state, timer support), and plays the
// host's audio thread: event lists in, stereo audio out.
//
// Threads: the test's thread plays both CLAP's main thread and its audio
// thread, never at once; request_restart and request_flush may be called
// from either and only count.
#pragma once

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin-factory.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace claphost {

// The module, loaded and initialised for the host's whole life.
class Module {
 public:
  explicit Module(const std::string& path) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) return;
    entry = static_cast<const clap_plugin_entry_t*>(dlsym(m_handle, "clap_entry"));
    if (entry && entry->init(path.c_str()))
      factory = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
  }
  ~Module() {
    if (factory) entry->deinit();
    if (m_handle) dlclose(m_handle);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const clap_plugin_entry_t* entry = nullptr;
  const clap_plugin_factory_t* factory = nullptr;

 private:
  void* m_handle = nullptr;
};

// Events for one process or flush call, kept in time order as CLAP wants.
class EventList {
 public:
  void note(uint16_t type, int key, double velocity, uint32_t time, int channel = 0) {
    clap_event_note_t e{};
    e.header = header(sizeof e, type, time);
    e.note_id = -1;
    e.channel = int16_t(channel);
    e.key = int16_t(key);
    e.velocity = velocity;
    add(&e, sizeof e);
  }
  void midi(uint8_t status, uint8_t data1, uint8_t data2, uint32_t time) {
    clap_event_midi_t e{};
    e.header = header(sizeof e, CLAP_EVENT_MIDI, time);
    e.data[0] = status;
    e.data[1] = data1;
    e.data[2] = data2;
    add(&e, sizeof e);
  }
  void param(clap_id id, double value, uint32_t time = 0) {
    clap_event_param_value_t e{};
    e.header = header(sizeof e, CLAP_EVENT_PARAM_VALUE, time);
    e.param_id = id;
    e.note_id = -1;
    e.port_index = e.channel = e.key = -1;
    e.value = value;
    add(&e, sizeof e);
  }
  void clear() { m_events.clear(); }

  const clap_input_events_t in{this, [](const clap_input_events_t* l) { return uint32_t(list(l).m_events.size()); },
                               [](const clap_input_events_t* l, uint32_t i) -> const clap_event_header_t* {
                                 auto& events = list(l).m_events;
                                 if (i >= events.size()) return nullptr;
                                 return reinterpret_cast<const clap_event_header_t*>(events[i].data());
                               }};

 private:
  static clap_event_header_t header(uint32_t size, uint16_t type, uint32_t time) {
    return clap_event_header_t{size, time, CLAP_CORE_EVENT_SPACE_ID, type, 0};
  }
  static EventList& list(const clap_input_events_t* l) { return *static_cast<EventList*>(l->ctx); }
  void add(const void* e, size_t size) {
    std::vector<uint64_t> storage((size + 7) / 8);
    std::memcpy(storage.data(), e, size);
    const uint32_t time = static_cast<const clap_event_header_t*>(e)->time;
    auto at = std::find_if(m_events.begin(), m_events.end(), [time](const std::vector<uint64_t>& x) {
      return reinterpret_cast<const clap_event_header_t*>(x.data())->time > time;
    });
    m_events.insert(at, std::move(storage));
  }
  std::vector<std::vector<uint64_t>> m_events;
};

// Parameter events the plug-in sends the host.
struct OutputEvents {
  std::vector<clap_event_param_value_t> params;
  const clap_output_events_t out{
      this, [](const clap_output_events_t* l, const clap_event_header_t* e) {
        if (e->type == CLAP_EVENT_PARAM_VALUE && e->size >= sizeof(clap_event_param_value_t))
          static_cast<OutputEvents*>(l->ctx)->params.push_back(*reinterpret_cast<const clap_event_param_value_t*>(e));
        return true;
      }};
};

class Instance {
 public:
  Instance(const Module& module, const char* id) {
    host.host_data = this;
    if (!module.factory) return;
    plugin = module.factory->create_plugin(module.factory, &host, id);
    if (!plugin || !plugin->init(plugin)) return;
    params = ext<clap_plugin_params_t>(CLAP_EXT_PARAMS);
    state = ext<clap_plugin_state_t>(CLAP_EXT_STATE);
    latency = ext<clap_plugin_latency_t>(CLAP_EXT_LATENCY);
    gui = ext<clap_plugin_gui_t>(CLAP_EXT_GUI);
    timer = ext<clap_plugin_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
  }
  ~Instance() {
    if (!plugin) return;
    if (m_active) plugin->deactivate(plugin);
    plugin->destroy(plugin);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  template <typename T>
  const T* ext(const char* id) const {
    return static_cast<const T*>(plugin->get_extension(plugin, id));
  }

  bool activate(double r, uint32_t maxFrames) {
    if (m_active) deactivate();
    rate = r;
    m_left.assign(maxFrames, 0.0f);
    m_right.assign(maxFrames, 0.0f);
    m_active = plugin->activate(plugin, r, 1, maxFrames) && plugin->start_processing(plugin);
    return m_active;
  }
  void deactivate() {
    plugin->stop_processing(plugin);
    plugin->deactivate(plugin);
    m_active = false;
  }

  // One process call of `frames` with `events`, into the host's own
  // buffers (see lastLeft); nothing else, so a test may watch it alone.
  clap_process_status processOnly(uint32_t frames) {
    float* channels[2] = {m_left.data(), m_right.data()};
    clap_audio_buffer_t out{};
    out.data32 = channels;
    out.channel_count = 2;
    clap_process_t p{};
    p.steady_time = int64_t(m_frame);
    p.frames_count = frames;
    p.audio_outputs = &out;
    p.audio_outputs_count = 1;
    p.in_events = &events.in;
    p.out_events = &output.out;
    m_frame += frames;
    return plugin->process(plugin, &p);
  }
  const std::vector<float>& lastLeft() const { return m_left; }

  // One process call; its left channel is appended to `left` (and the right
  // to `right` when given), and the events are used up.
  clap_process_status process(uint32_t frames, std::vector<float>& left, std::vector<float>* right = nullptr) {
    const clap_process_status status = processOnly(frames);
    events.clear();
    left.insert(left.end(), m_left.begin(), m_left.begin() + frames);
    if (right) right->insert(right->end(), m_right.begin(), m_right.begin() + frames);
    return status;
  }

  // `seconds` of audio in blocks of `block`, the events given beforehand in
  // the first; at real time when `paced`, as a host's audio thread would,
  // so the engine's work takes the time it takes in a host.
  std::vector<float> render(double seconds, uint32_t block, bool paced = false) {
    std::vector<float> all;
    const size_t total = size_t(seconds * rate);
    const auto start = std::chrono::steady_clock::now();
    while (all.size() < total) {
      process(block, all);
      if (paced)
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(all.size() / rate)));
      else if ((all.size() / block) % 8 == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return all;
  }

  std::vector<uint8_t> save() const {
    std::vector<uint8_t> bytes;
    clap_ostream_t s{&bytes, [](const clap_ostream_t* s, const void* b, uint64_t n) -> int64_t {
                       auto* out = static_cast<std::vector<uint8_t>*>(s->ctx);
                       // Short writes, as a host's stream may make them.
                       n = std::min<uint64_t>(n, 100);
                       out->insert(out->end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + n);
                       return int64_t(n);
                     }};
    return state->save(plugin, &s) ? bytes : std::vector<uint8_t>{};
  }
  // readError: the stream fails after handing over that many bytes.
  bool load(const std::vector<uint8_t>& bytes, long readError = -1) {
    struct Reader {
      const std::vector<uint8_t>* bytes;
      size_t at;
      long failAt;
    } r{&bytes, 0, readError};
    clap_istream_t s{&r, [](const clap_istream_t* s, void* b, uint64_t n) -> int64_t {
                       auto* r = static_cast<Reader*>(s->ctx);
                       if (r->failAt >= 0 && r->at >= size_t(r->failAt)) return -1;
                       n = std::min<uint64_t>({n, r->bytes->size() - r->at, 64});
                       if (n) std::memcpy(b, r->bytes->data() + r->at, n);
                       r->at += n;
                       return int64_t(n);
                     }};
    return state->load(plugin, &s);
  }

  // Runs the plug-in's timers, as the host's main loop would.
  void tick() {
    for (clap_id id : std::set<clap_id>(timers)) timer->on_timer(plugin, id);
  }

  const clap_plugin_t* plugin = nullptr;
  const clap_plugin_params_t* params = nullptr;
  const clap_plugin_state_t* state = nullptr;
  const clap_plugin_latency_t* latency = nullptr;
  const clap_plugin_gui_t* gui = nullptr;
  const clap_plugin_timer_support_t* timer = nullptr;
  double rate = 48000;
  EventList events;
  OutputEvents output;
  std::atomic<int> restarts{0}, flushes{0}, rescans{0};
  std::set<clap_id> timers;

  clap_host_t host{CLAP_VERSION_INIT,
                   nullptr,
                   "glimm test host",
                   "",
                   "",
                   "1",
                   [](const clap_host_t* h, const char* id) { return of(h).hostExtension(id); },
                   [](const clap_host_t* h) { ++of(h).restarts; },
                   [](const clap_host_t*) {},
                   [](const clap_host_t*) {}};

 private:
  static Instance& of(const clap_host_t* h) { return *static_cast<Instance*>(h->host_data); }
  const void* hostExtension(const char* id) const {
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &m_params;
    if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &m_latency;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &m_timer;
    return nullptr;
  }

  const clap_host_params_t m_params{[](const clap_host_t* h, clap_param_rescan_flags) { ++of(h).rescans; },
                                    [](const clap_host_t*, clap_id, clap_param_clear_flags) {},
                                    [](const clap_host_t* h) { ++of(h).flushes; }};
  const clap_host_latency_t m_latency{[](const clap_host_t*) {}};
  const clap_host_timer_support_t m_timer{[](const clap_host_t* h, uint32_t, clap_id* id) {
                                            Instance& self = of(h);
                                            *id = self.m_nextTimer++;
                                            self.timers.insert(*id);
                                            return true;
                                          },
                                          [](const clap_host_t* h, clap_id id) { return of(h).timers.erase(id) == 1; }};
  clap_id m_nextTimer = 1;
  bool m_active = false;
  uint64_t m_frame = 0;
  std::vector<float> m_left, m_right;
};

}  // namespace claphost
