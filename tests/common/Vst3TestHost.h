// A VST3 host of our own, in-process, for the VST3 tests: it loads a bundle's
// module, creates its one class, and plays the host's side of the
// interfaces Glimm uses (event list, parameter changes, streams, a frame
// with a run loop), through Debian's C declarations of them (dpf-source).
//
// Threads: the test's thread plays the host's UI and audio threads, never
// at once.
#pragma once

#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/factory.h>
#include <travesty/view.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vst3host {

// A COM-style object of the host's: the table pointer, then the object.
template <typename Table, typename Owner>
struct Object {
  const Table* table;
  Owner* owner;
  static Owner* of(void* self) { return static_cast<Object*>(self)->owner; }
  template <typename T>
  T** as() {
    return reinterpret_cast<T**>(this);
  }
};

inline v3_result noInterface(void*, const v3_tuid, void** obj) {
  *obj = nullptr;
  return V3_NO_INTERFACE;
}
inline uint32_t one(void*) { return 1; }

class EventList {
 public:
  void note(bool on, int pitch, float velocity, int32_t offset) {
    v3_event e{};
    e.sample_offset = offset;
    e.type = on ? V3_EVENT_NOTE_ON : V3_EVENT_NOTE_OFF;
    if (on) {
      e.note_on.pitch = int16_t(pitch);
      e.note_on.velocity = velocity;
      e.note_on.note_id = -1;
    } else {
      e.note_off.pitch = int16_t(pitch);
      e.note_off.note_id = -1;
    }
    events.push_back(e);
  }
  std::vector<v3_event> events;
  v3_event_list** handle() { return m_object.as<v3_event_list>(); }

 private:
  static inline const v3_event_list_cpp kTable = {
      {noInterface, one, one},
      {[](void* s) { return uint32_t(Object<v3_event_list_cpp, EventList>::of(s)->events.size()); },
       [](void* s, int32_t i, v3_event* e) -> v3_result {
         auto& list = Object<v3_event_list_cpp, EventList>::of(s)->events;
         if (i < 0 || size_t(i) >= list.size()) return V3_INVALID_ARG;
         *e = list[size_t(i)];
         return V3_OK;
       },
       [](void*, v3_event*) -> v3_result { return V3_NOT_IMPLEMENTED; }}};
  Object<v3_event_list_cpp, EventList> m_object{&kTable, this};
};

// One point per parameter, at the block's start.
class ParamChanges {
 public:
  struct Queue {
    Object<v3_param_value_queue_cpp, Queue> object;
    v3_param_id id;
    double value;
  };
  void set(v3_param_id id, double normalised) {
    queues.push_back(std::make_unique<Queue>(Queue{{&kQueueTable, nullptr}, id, normalised}));
    queues.back()->object.owner = queues.back().get();
  }
  std::vector<std::unique_ptr<Queue>> queues;
  v3_param_changes** handle() { return m_object.as<v3_param_changes>(); }

 private:
  static inline const v3_param_value_queue_cpp kQueueTable = {
      {noInterface, one, one},
      {[](void* s) { return Object<v3_param_value_queue_cpp, Queue>::of(s)->id; }, [](void*) -> int32_t { return 1; },
       [](void* s, int32_t i, int32_t* offset, double* value) -> v3_result {
         if (i != 0) return V3_INVALID_ARG;
         *offset = 0;
         *value = Object<v3_param_value_queue_cpp, Queue>::of(s)->value;
         return V3_OK;
       },
       [](void*, int32_t, double, int32_t*) -> v3_result { return V3_NOT_IMPLEMENTED; }}};
  static inline const v3_param_changes_cpp kTable = {
      {noInterface, one, one},
      {[](void* s) { return int32_t(Object<v3_param_changes_cpp, ParamChanges>::of(s)->queues.size()); },
       [](void* s, int32_t i) -> v3_param_value_queue** {
         auto& q = Object<v3_param_changes_cpp, ParamChanges>::of(s)->queues;
         return i >= 0 && size_t(i) < q.size() ? q[size_t(i)]->object.as<v3_param_value_queue>() : nullptr;
       },
       [](void*, v3_param_id*, int32_t*) -> v3_param_value_queue** { return nullptr; }}};
  Object<v3_param_changes_cpp, ParamChanges> m_object{&kTable, this};
};

// The travesty headers declare no C++ layout for a stream.
struct v3_bstream_cpp : v3_funknown {
  v3_bstream stream;
};

// A memory stream, read from its start.
class Stream {
 public:
  explicit Stream(std::vector<uint8_t> b = {}) : bytes(std::move(b)) {}
  std::vector<uint8_t> bytes;
  size_t at = 0;
  v3_bstream** handle() { return m_object.as<v3_bstream>(); }

 private:
  static Stream* of(void* s) { return Object<v3_bstream_cpp, Stream>::of(s); }
  static inline const v3_bstream_cpp kTable = {
      {noInterface, one, one},
      {[](void* s, void* buffer, int32_t n, int32_t* done) -> v3_result {
         Stream* st = of(s);
         const size_t k = std::min(size_t(std::max(n, 0)), st->bytes.size() - st->at);
         if (k) std::memcpy(buffer, st->bytes.data() + st->at, k);
         st->at += k;
         if (done) *done = int32_t(k);
         return V3_OK;
       },
       [](void* s, void* buffer, int32_t n, int32_t* done) -> v3_result {
         auto* b = static_cast<const uint8_t*>(buffer);
         of(s)->bytes.insert(of(s)->bytes.end(), b, b + std::max(n, 0));
         if (done) *done = n;
         return V3_OK;
       },
       [](void*, int64_t, int32_t, int64_t*) -> v3_result { return V3_NOT_IMPLEMENTED; },
       [](void* s, int64_t* pos) -> v3_result {
         *pos = int64_t(of(s)->at);
         return V3_OK;
       }}};
  Object<v3_bstream_cpp, Stream> m_object{&kTable, this};
};

// The host's plug-in frame, offering a run loop whose timers the test runs.
class Frame {
 public:
  explicit Frame(bool withRunLoop) : m_withRunLoop(withRunLoop) {}
  std::set<v3_timer_handler**> timers;
  void tick() {
    for (v3_timer_handler** t : std::set<v3_timer_handler**>(timers)) v3_cpp_obj(t)->on_timer(t);
  }
  v3_plugin_frame** handle() { return m_frame.as<v3_plugin_frame>(); }

 private:
  static v3_result query(void* s, const v3_tuid iid, void** obj) {
    Frame* f = *reinterpret_cast<Frame**>(static_cast<char*>(s) + sizeof(void*));
    *obj = nullptr;
    if (v3_tuid_match(iid, v3_run_loop_iid) && f->m_withRunLoop) *obj = &f->m_loop;
    return *obj ? V3_OK : V3_NO_INTERFACE;
  }
  static inline const v3_plugin_frame_cpp kFrameTable = {
      {query, one, one}, {[](void*, v3_plugin_view**, v3_view_rect*) -> v3_result { return V3_OK; }}};
  static inline const v3_run_loop_cpp kLoopTable = {
      {query, one, one},
      {[](void*, v3_event_handler**, int) -> v3_result { return V3_NOT_IMPLEMENTED; },
       [](void*, v3_event_handler**) -> v3_result { return V3_NOT_IMPLEMENTED; },
       [](void* s, v3_timer_handler** t, uint64_t) -> v3_result {
         Object<v3_run_loop_cpp, Frame>::of(s)->timers.insert(t);
         return V3_OK;
       },
       [](void* s, v3_timer_handler** t) -> v3_result {
         return Object<v3_run_loop_cpp, Frame>::of(s)->timers.erase(t) ? V3_OK : V3_INVALID_ARG;
       }}};
  bool m_withRunLoop;
  Object<v3_plugin_frame_cpp, Frame> m_frame{&kFrameTable, this};
  Object<v3_run_loop_cpp, Frame> m_loop{&kLoopTable, this};
};

// The host's component handler: it records the edits the plug-in reports.
class ComponentHandler {
 public:
  struct Edit {
    v3_param_id id;
    double normalised;
  };
  std::vector<Edit> edits;
  int begun = 0, ended = 0, restarts = 0;
  v3_component_handler** handle() { return m_object.as<v3_component_handler>(); }

 private:
  static ComponentHandler* of(void* s) { return Object<v3_component_handler_cpp, ComponentHandler>::of(s); }
  struct v3_component_handler_cpp : v3_funknown {
    v3_component_handler handler;
  };
  static inline const v3_component_handler_cpp kTable = {{noInterface, one, one},
                                                         {[](void* s, v3_param_id) -> v3_result {
                                                            ++of(s)->begun;
                                                            return V3_OK;
                                                          },
                                                          [](void* s, v3_param_id id, double n) -> v3_result {
                                                            of(s)->edits.push_back({id, n});
                                                            return V3_OK;
                                                          },
                                                          [](void* s, v3_param_id) -> v3_result {
                                                            ++of(s)->ended;
                                                            return V3_OK;
                                                          },
                                                          [](void* s, int32_t) -> v3_result {
                                                            ++of(s)->restarts;
                                                            return V3_OK;
                                                          }}};
  Object<v3_component_handler_cpp, ComponentHandler> m_object{&kTable, this};
};

// The bundle's module and its one instance: component, processor, controller.
class Instance {
 public:
  explicit Instance(const std::string& bundle) {
    m_module = dlopen((bundle + "/Contents/x86_64-linux/Glimm.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_module) return;
    auto entry = reinterpret_cast<bool (*)(void*)>(dlsym(m_module, "ModuleEntry"));
    auto get = reinterpret_cast<void* (*)()>(dlsym(m_module, "GetPluginFactory"));
    if (!entry || !get || !entry(m_module)) return;
    factory = static_cast<v3_plugin_factory**>(get());
    v3_class_info info{};
    if (!factory || v3_cpp_obj(factory)->get_class_info(factory, 0, &info) != V3_OK) return;
    void* obj = nullptr;
    if (v3_cpp_obj(factory)->create_instance(factory, info.class_id, v3_component_iid, &obj) != V3_OK) return;
    component = static_cast<v3_component**>(obj);
    if (v3_cpp_obj_initialize(component, nullptr) != V3_OK) return;
    v3_cpp_obj_query_interface(component, v3_audio_processor_iid, &processor);
    v3_cpp_obj_query_interface(component, v3_edit_controller_iid, &controller);
  }
  ~Instance() {
    if (processor) v3_cpp_obj_unref(processor);
    if (controller) v3_cpp_obj_unref(controller);
    if (component) {
      v3_cpp_obj(component)->set_active(component, false);
      v3_cpp_obj_terminate(component);
      v3_cpp_obj_unref(component);
    }
    if (m_module) {
      if (auto exit = reinterpret_cast<bool (*)()>(dlsym(m_module, "ModuleExit"))) exit();
      dlclose(m_module);
    }
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  bool ready() const { return component && processor && controller; }

  bool activate(double r, int32_t maxBlock, int32_t mode = V3_REALTIME) {
    rate = r;
    v3_process_setup setup{mode, V3_SAMPLE_32, maxBlock, r};
    m_left.assign(size_t(maxBlock), 0);
    m_right.assign(size_t(maxBlock), 0);
    return v3_cpp_obj(processor)->setup_processing(processor, &setup) == V3_OK &&
           v3_cpp_obj(component)->set_active(component, true) == V3_OK &&
           v3_cpp_obj(processor)->set_processing(processor, true) == V3_OK;
  }

  // One process call with the pending events and parameter changes, into
  // the host's own buffers (see lastLeft); nothing else, so it can be timed.
  void processOnly(int32_t frames) {
    float* channels[2] = {m_left.data(), m_right.data()};
    v3_audio_bus_buffers out{};
    out.num_channels = 2;
    out.channel_buffers_32 = channels;
    v3_process_data d{};
    d.process_mode = V3_REALTIME;
    d.symbolic_sample_size = V3_SAMPLE_32;
    d.nframes = frames;
    d.num_output_buses = 1;
    d.outputs = &out;
    d.input_params = params.handle();
    d.input_events = events.handle();
    v3_cpp_obj(processor)->process(processor, &d);
  }
  const std::vector<float>& lastLeft() const { return m_left; }

  // One process call; the events and changes are used up, the left channel
  // is appended to `left`, the right to `right` when given.
  void process(int32_t frames, std::vector<float>& left, std::vector<float>* right = nullptr) {
    processOnly(frames);
    events.events.clear();
    params.queues.clear();
    left.insert(left.end(), m_left.begin(), m_left.begin() + frames);
    if (right) right->insert(right->end(), m_right.begin(), m_right.begin() + frames);
  }
  std::vector<float> render(double seconds, int32_t block) {
    std::vector<float> all;
    while (all.size() < size_t(seconds * rate)) process(block, all);
    return all;
  }

  std::vector<uint8_t> save() const {
    Stream s;
    return v3_cpp_obj(component)->get_state(component, s.handle()) == V3_OK ? s.bytes : std::vector<uint8_t>{};
  }
  bool load(const std::vector<uint8_t>& bytes) {
    Stream s(bytes);
    return v3_cpp_obj(component)->set_state(component, s.handle()) == V3_OK;
  }

  v3_plugin_factory** factory = nullptr;
  v3_component** component = nullptr;
  v3_audio_processor** processor = nullptr;
  v3_edit_controller** controller = nullptr;
  double rate = 48000;
  EventList events;
  ParamChanges params;

 private:
  void* m_module = nullptr;
  std::vector<float> m_left, m_right;
};

}  // namespace vst3host
