// The LV2 plug-in's run() per 256-frame block while it speaks, against the
// same voice (VoiceController) rendered directly in a child process. Both
// speak the same text, block by block at about real-time pace, in rounds
// that take turns. The plug-in is loaded as a host loads it (dlopen,
// lv2_descriptor) with a worker that works between cycles.
//   bench_lv2_run [--quick] [--runs N]
#include "GlimmLv2.h"
#include "Lv2TestHost.h"
#include "VoiceController.h"
#include "voicebench.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace voicebench;
constexpr uint32_t kAtomCapacity = 4096;

using lv2host::urid;

// The plug-in with its ports and a worker that runs queued jobs when asked.
class Plugin {
 public:
  bool open(const char* path) {
    m_module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!m_module) return false;
    auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(m_module, "lv2_descriptor"));
    m_desc = entry ? entry(0) : nullptr;
    if (!m_desc) return false;
    m_handle = m_desc->instantiate(m_desc, kRate, "", m_features.get());
    if (!m_handle) return false;
    m_worker = static_cast<const LV2_Worker_Interface*>(m_desc->extension_data(LV2_WORKER__interface));
    lv2host::defaultParameters(m_params);
    lv2host::connectPorts([this](uint32_t port, void* data) { m_desc->connect_port(m_handle, port, data); },
                          m_control.bytes, m_notify.bytes, out, m_params, nullptr);
    if (m_desc->activate) m_desc->activate(m_handle);
    m_events.begin(m_control.bytes, kAtomCapacity);
    return m_worker != nullptr;
  }
  ~Plugin() {
    if (m_handle) {
      if (m_desc->deactivate) m_desc->deactivate(m_handle);
      m_desc->cleanup(m_handle);
    }
    if (m_module) dlclose(m_module);
  }

  // Queues a patch:Set of `property` for the next cycle.
  void set(const char* property, const char* text) {
    if (text) {
      m_events.setString(urid(property), text);
    } else {
      const int32_t yes = 1;
      m_events.set(urid(property), urid(LV2_ATOM__Bool), &yes, sizeof yes);
    }
  }

  // One cycle; returns the nanoseconds run() took. The worker's jobs and the
  // next cycle's sequence are made outside the timed call.
  double run() {
    m_events.end();
    m_notify.offer();
    const auto t0 = Clock::now();
    m_desc->run(m_handle, kBlock);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    while (!m_jobs.empty()) {
      std::vector<uint8_t> job = std::move(m_jobs.front());
      m_jobs.pop_front();
      m_worker->work(m_handle, respond, nullptr, uint32_t(job.size()), job.data());
    }
    m_events.begin(m_control.bytes, kAtomCapacity);
    return ns;
  }

  float out[kBlock] = {};

 private:
  static LV2_Worker_Status schedule(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
    const auto* p = static_cast<const uint8_t*>(data);
    static_cast<Plugin*>(h)->m_jobs.emplace_back(p, p + size);
    return LV2_WORKER_SUCCESS;
  }
  static LV2_Worker_Status respond(LV2_Worker_Respond_Handle, uint32_t, const void*) { return LV2_WORKER_SUCCESS; }

  LV2_Worker_Schedule m_schedule{this, schedule};
  const lv2host::Features m_features{nullptr, &m_schedule};
  void* m_module = nullptr;
  const LV2_Descriptor* m_desc = nullptr;
  LV2_Handle m_handle = nullptr;
  const LV2_Worker_Interface* m_worker = nullptr;
  std::deque<std::vector<uint8_t>> m_jobs;
  float m_params[kGlimmParamCount];
  lv2host::AtomBuffer<kAtomCapacity> m_control, m_notify;
  lv2host::SequenceWriter m_events;
};

}  // namespace

int main(int argc, char** argv) {
  voicebench::Options o;
  if (!voicebench::parseOptions(argc, argv, o)) return 2;
  if (o.direct) return directSide(o.quick);

  Plugin plugin;
  if (!plugin.open(GLIMM_LV2_DSP_PATH)) {
    std::fprintf(stderr, "cannot load %s: %s\n", GLIMM_LV2_DSP_PATH, dlerror());
    return 1;
  }
  // In turns, so that a change in the machine's load falls on both sides.
  std::vector<double> lv2Medians, directMedians;
  size_t lv2Blocks = 0, directBlocks = 0;
  for (int round = 0; round < o.rounds; ++round) {
    size_t blocks = 0;
    const double d = runDirect(o.quick, &blocks);
    if (d < 0 || blocks < 50) {
      std::fprintf(stderr, "the direct voice did not speak (%zu blocks, median %.0f ns)\n", blocks, d);
      return 1;
    }
    directMedians.push_back(d);
    directBlocks += blocks;

    plugin.set(GLIMM_LV2_TEXT_URI, kText);
    plugin.set(GLIMM_LV2_SPEAK_URI, nullptr);
    plugin.run();
    const std::vector<double> ns = timeUtterance(o.quick, plugin.out, [&] { return plugin.run(); });
    if (ns.size() < 50) {
      std::fprintf(stderr, "the plug-in did not speak\n");
      return 1;
    }
    lv2Medians.push_back(median(ns));
    lv2Blocks += ns.size();
  }
  const double l = median(lv2Medians) / 1000, d = median(directMedians) / 1000;
  std::printf("# lv2_run: medians of %d rounds (%zu and %zu blocks of %u frames with speech); budget %.0f us a block\n",
              o.rounds, lv2Blocks, directBlocks, kBlock, 1e6 * kBlock / kRate);
  // No goal is set for this figure: it is reported, not judged.
  std::printf("row|lv2_run|run() per %u-frame block while speaking (us)|%.2f|%.2f|%.2f|-|-\n", kBlock, l, d, l / d);
  return 0;
}
