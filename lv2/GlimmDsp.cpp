// Glimm as an LV2 instrument: the module's entry points. Each hands its call
// to the Instance (GlimmDspInstance.h says which thread may make which), and
// none lets an exception out into the host: the calls that may throw go
// through glimm::atBoundary; the audio-class calls (connect_port, run,
// work_response) and cleanup skip it on purpose, see there.
#include "Boundary.h"
#include "GlimmDspInstance.h"
#include "GlimmLv2.h"

#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstring>

namespace {

using glimm::dsp::Instance;

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

// No boundary on purpose: the audio class allocates nothing and calls nothing
// that throws, and a try block is not worth its place on the render path.
void connectPort(LV2_Handle h, uint32_t port, void* data) { self(h)->connect(port, data); }
void run(LV2_Handle h, uint32_t frames) { self(h)->run(frames); }
// Destructors are noexcept: a boundary here could catch nothing.
void cleanup(LV2_Handle h) { delete self(h); }

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       uint32_t size, const void* data) {
  return glimm::atBoundary([&] { return self(h)->work(respond, handle, size, data); }, LV2_WORKER_ERR_UNKNOWN,
                           LV2_WORKER_ERR_NO_SPACE);
}
// Audio class, like run(): no boundary, for the same reason.
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

// LV2_SYMBOL_EXPORT carries extern "C" itself.
LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) { return index == 0 ? &kDescriptor : nullptr; }
