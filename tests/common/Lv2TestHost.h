// The host's side of the LV2 plug-in, for its tests, fuzzer and benchmarks:
// URIDs, logs, features, the port buffers and their connection, the control
// sequence written with the forge, and (where the build tree's bundle is
// known, GLIMM_LV2_BUILD_PATH) lilv's view of it and a real-time host's
// worker. Other workers stay with their users: how a host's worker behaves is
// what each of them puts to the test.
//
// Threads: the URID map may be called from any thread (it locks). The rest
// belongs to whichever thread plays the host's audio thread, outside run();
// only RealTimeWorker's schedule is called from inside it.
#pragma once

#include "GlimmLv2.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef GLIMM_LV2_BUILD_PATH
#include <lilv/lilv.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#endif

namespace lv2host {

// urid:map and urid:unmap for the whole process: plug-ins map from any thread.
class UridMap {
 public:
  LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<UridMap*>(h)->id(uri); }};
  LV2_URID_Unmap unmap{this, [](LV2_URID_Unmap_Handle h, LV2_URID id) { return static_cast<UridMap*>(h)->uri(id); }};

  LV2_URID id(const char* uri) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_ids.find(uri);
    if (it != m_ids.end()) return it->second;
    m_uris.push_back(uri);
    return m_ids[uri] = LV2_URID(m_uris.size());
  }
  const char* uri(LV2_URID id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return id >= 1 && id <= m_uris.size() ? m_uris[id - 1].c_str() : nullptr;
  }

 private:
  std::mutex m_mutex;
  std::map<std::string, LV2_URID> m_ids;
  std::vector<std::string> m_uris;
};

inline UridMap& urids() {
  static UridMap m;
  return m;
}
inline LV2_URID urid(const char* uri) { return urids().id(uri); }

// A log's printf in terms of its vprintf.
template <int (*Vprintf)(LV2_Log_Handle, LV2_URID, const char*, va_list)>
int logPrintf(LV2_Log_Handle h, LV2_URID type, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = Vprintf(h, type, fmt, ap);
  va_end(ap);
  return n;
}

// The features a host offers: urid:map and urid:unmap always, a log and a
// worker when given.
class Features {
 public:
  Features(LV2_Log_Log* log, LV2_Worker_Schedule* schedule)
      : m_log{LV2_LOG__log, log}, m_schedule{LV2_WORKER__schedule, schedule} {
    if (log) m_list.push_back(&m_log);
    if (schedule) m_list.push_back(&m_schedule);
    m_list.push_back(nullptr);
  }
  Features(const Features&) = delete;
  Features& operator=(const Features&) = delete;
  const LV2_Feature* const* get() const { return m_list.data(); }

 private:
  LV2_Feature m_map{LV2_URID__map, &urids().map};
  LV2_Feature m_unmap{LV2_URID__unmap, &urids().unmap};
  LV2_Feature m_log, m_schedule;
  std::vector<const LV2_Feature*> m_list{&m_map, &m_unmap};
};

template <size_t Capacity>
struct alignas(16) AtomBuffer {
  static constexpr uint32_t kCapacity = Capacity;
  uint8_t bytes[Capacity];
  LV2_Atom_Sequence* seq() { return reinterpret_cast<LV2_Atom_Sequence*>(bytes); }
  // As an output port before each run: `capacity` bytes are the plug-in's to fill.
  void offer(uint32_t capacity = Capacity) {
    seq()->atom.type = urid(LV2_ATOM__Chunk);
    seq()->atom.size = capacity - sizeof(LV2_Atom);
  }
};

// Every port to `connect(port, data)`, lilv's or a descriptor's; a null
// pointer leaves a port unconnected. `params` holds one value a parameter.
template <typename Connect>
void connectPorts(Connect&& connect, void* control, void* notify, float* out, float* params, float* freeWheel,
                  float* latency = nullptr) {
  connect(kGlimmPortControl, control);
  connect(kGlimmPortNotify, notify);
  connect(kGlimmPortOut, out);
  for (int i = 0; i < kGlimmParamCount; ++i) connect(glimmParameterPort(i), params ? &params[i] : nullptr);
  connect(kGlimmPortFreeWheel, freeWheel);
  connect(kGlimmPortLatency, latency);
}

inline void defaultParameters(float (&params)[kGlimmParamCount]) {
  for (const GlimmParameterFacts& p : kGlimmParameters) params[p.index] = p.defaultValue;
}

// The buffers a host keeps for one instance's ports: the parameters at their
// defaults, real time (not free-wheeling).
template <size_t AtomCapacity = 8192>
struct Ports {
  explicit Ports(size_t frames) : out(frames) { defaultParameters(params); }

  template <typename Connect>
  void connect(Connect&& c) {
    connectPorts(c, control->bytes, notify->bytes, out.data(), params, &freeWheel, &latency);
  }

  std::unique_ptr<AtomBuffer<AtomCapacity>> control = std::make_unique<AtomBuffer<AtomCapacity>>();
  std::unique_ptr<AtomBuffer<AtomCapacity>> notify = std::make_unique<AtomBuffer<AtomCapacity>>();
  std::vector<float> out;
  float params[kGlimmParamCount];
  float freeWheel = 0;  // the host's lv2:freeWheeling control
  float latency = -1;   // the plug-in's lv2:latency output
};

// A control port's sequence, written with the forge as hosts and UIs do.
class SequenceWriter {
 public:
  SequenceWriter() { lv2_atom_forge_init(&m_forge, &urids().map); }

  void begin(uint8_t* buffer, uint32_t capacity) {
    lv2_atom_forge_set_buffer(&m_forge, buffer, capacity);
    lv2_atom_forge_sequence_head(&m_forge, &m_seq, 0);
  }
  void end() { lv2_atom_forge_pop(&m_forge, &m_seq); }
  // For events of a shape of their own, after frameTime().
  LV2_Atom_Forge& forge() { return m_forge; }
  void frameTime(int64_t frame) { lv2_atom_forge_frame_time(&m_forge, frame); }

  // An atom of any type and raw body.
  void atom(LV2_URID type, const void* body, uint32_t size, int64_t frame = 0) {
    frameTime(frame);
    lv2_atom_forge_atom(&m_forge, size, type);
    lv2_atom_forge_write(&m_forge, body, size);
  }
  void midi(uint8_t status, uint8_t d1, uint8_t d2, int64_t frame = 0) {
    const uint8_t msg[3] = {status, d1, d2};
    atom(urid(LV2_MIDI__MidiEvent), msg, 3, frame);
  }
  // A patch:Set whose value is an atom of any type and raw body.
  void set(LV2_URID property, LV2_URID type, const void* body, uint32_t size) {
    LV2_Atom_Forge_Frame obj;
    frameTime(0);
    lv2_atom_forge_object(&m_forge, &obj, 0, urid(LV2_PATCH__Set));
    lv2_atom_forge_key(&m_forge, urid(LV2_PATCH__property));
    lv2_atom_forge_urid(&m_forge, property);
    lv2_atom_forge_key(&m_forge, urid(LV2_PATCH__value));
    lv2_atom_forge_atom(&m_forge, size, type);
    lv2_atom_forge_write(&m_forge, body, size);
    lv2_atom_forge_pop(&m_forge, &obj);
  }
  void setString(LV2_URID property, const std::string& s) {
    set(property, urid(LV2_ATOM__String), s.c_str(), uint32_t(s.size() + 1));
  }
  // The host's transport: a time:Position at `frame` of the block, the song
  // at `songFrame` moving at `speed` (0: stopped).
  void position(int64_t songFrame, float speed, int64_t frame = 0) {
    LV2_Atom_Forge_Frame obj;
    frameTime(frame);
    lv2_atom_forge_object(&m_forge, &obj, 0, urid(LV2_TIME__Position));
    lv2_atom_forge_key(&m_forge, urid(LV2_TIME__frame));
    lv2_atom_forge_long(&m_forge, songFrame);
    lv2_atom_forge_key(&m_forge, urid(LV2_TIME__speed));
    lv2_atom_forge_float(&m_forge, speed);
    lv2_atom_forge_pop(&m_forge, &obj);
  }
  // A patch:Get of one property, or of all with 0.
  void get(LV2_URID property = 0) {
    LV2_Atom_Forge_Frame obj;
    frameTime(0);
    lv2_atom_forge_object(&m_forge, &obj, 0, urid(LV2_PATCH__Get));
    if (property) {
      lv2_atom_forge_key(&m_forge, urid(LV2_PATCH__property));
      lv2_atom_forge_urid(&m_forge, property);
    }
    lv2_atom_forge_pop(&m_forge, &obj);
  }

 private:
  LV2_Atom_Forge m_forge;
  LV2_Atom_Forge_Frame m_seq;
};

#ifdef GLIMM_LV2_BUILD_PATH
// lilv's world over the build tree's bundle and the installed vocabularies it
// uses, loaded once; `plugin` is null if the bundle was not found.
struct World {
  LilvWorld* world = nullptr;
  const LilvPlugin* plugin = nullptr;
  World() {
    setenv("LV2_PATH", GLIMM_LV2_BUILD_PATH ":/usr/lib/lv2", 1);
    world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode* uri = lilv_new_uri(world, GLIMM_LV2_URI);
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
  }
  ~World() { lilv_world_free(world); }
};

inline World& world() {
  static World w;
  return w;
}

// work:schedule as a real-time host offers it: run() copies the job into a
// fixed ring and returns, with no lock and no system call; the worker thread
// looks at the ring every millisecond. With `locking` set it is the common
// mutex-and-condition-variable queue instead: a host a real-time check must
// catch, since run() calls schedule.
class RealTimeWorker {
 public:
  explicit RealTimeWorker(bool locking = false) : m_locking(locking) {}
  LV2_Worker_Schedule schedule{this, scheduleWork};

  void start(LilvInstance* instance) {
    m_instance = instance;
    m_iface =
        static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
    m_thread = std::thread([this] { loop(); });
  }
  ~RealTimeWorker() { stop(); }
  void stop() {
    m_quit = true;
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }
  long worked() const { return m_worked; }
  long refused() const { return m_refused; }

 private:
  static constexpr size_t kSlots = 64;
  struct Slot {
    uint32_t size;
    alignas(8) uint8_t bytes[1024];
  };

  static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
    auto* self = static_cast<RealTimeWorker*>(h);
    if (self->m_locking) {
      {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        const auto* p = static_cast<const uint8_t*>(data);
        self->m_queue.emplace_back(p, p + size);
      }
      self->m_cv.notify_one();
      return LV2_WORKER_SUCCESS;
    }
    const size_t head = self->m_head.load(std::memory_order_relaxed);
    if (size > sizeof(Slot::bytes) || head - self->m_tail.load(std::memory_order_acquire) >= kSlots) {
      ++self->m_refused;
      return LV2_WORKER_ERR_NO_SPACE;
    }
    Slot& s = self->m_slots[head % kSlots];
    s.size = size;
    std::memcpy(s.bytes, data, size);
    self->m_head.store(head + 1, std::memory_order_release);
    return LV2_WORKER_SUCCESS;
  }
  static LV2_Worker_Status respond(LV2_Worker_Respond_Handle, uint32_t, const void*) { return LV2_WORKER_SUCCESS; }

  void work(uint32_t size, const void* data) {
    m_iface->work(lilv_instance_get_handle(m_instance), respond, nullptr, size, data);
    ++m_worked;
  }

  void loop() {
    while (!m_quit) {
      if (m_locking) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(5), [this] { return m_quit || !m_queue.empty(); });
        while (!m_queue.empty()) {
          std::vector<uint8_t> job = std::move(m_queue.front());
          m_queue.pop_front();
          lock.unlock();
          work(uint32_t(job.size()), job.data());
          lock.lock();
        }
        continue;
      }
      const size_t tail = m_tail.load(std::memory_order_relaxed);
      if (tail == m_head.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      const Slot& s = m_slots[tail % kSlots];
      work(s.size, s.bytes);
      m_tail.store(tail + 1, std::memory_order_release);
    }
  }

  const bool m_locking;
  LilvInstance* m_instance = nullptr;
  const LV2_Worker_Interface* m_iface = nullptr;
  std::thread m_thread;
  std::atomic<bool> m_quit{false};
  std::array<Slot, kSlots> m_slots{};
  std::atomic<size_t> m_head{0}, m_tail{0};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::vector<uint8_t>> m_queue;
  std::atomic<long> m_worked{0};
  long m_refused = 0;
};

// lilv's connect_port for connectPorts() and Ports::connect().
inline auto lilvConnect(LilvInstance* instance) {
  return [instance](uint32_t port, void* data) { lilv_instance_connect_port(instance, port, data); };
}
#endif

}  // namespace lv2host
