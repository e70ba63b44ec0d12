// The module's entry points and its factory of one class.
#include "GlimmVst3.h"

#include "Boundary.h"

#include <cstdio>
#include <cstring>

namespace glimm::vst3 {

namespace {

constexpr char kVendor[] = "The Glimm project";
constexpr char kName[] = "Glimm";

struct Factory;
Interface<v3_plugin_factory_cpp, Factory>& factory();

void copy16(int16_t* out, size_t size, const char* s) {
  size_t i = 0;
  for (; s[i] && i + 1 < size; ++i) out[i] = int16_t(uint8_t(s[i]));
  out[i] = 0;
}

template <typename Info>
void fillCommon(Info* info) {
  std::memcpy(info->class_id, kClassId, sizeof(v3_tuid));
  info->cardinality = 0x7FFFFFFF;
  std::snprintf(info->category, sizeof info->category, "Audio Module Class");
}

v3_result query(void* self, const v3_tuid iid, void** obj) {
  if (!obj) return V3_INVALID_ARG;
  if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_factory_iid) ||
      v3_tuid_match(iid, v3_plugin_factory_2_iid) || v3_tuid_match(iid, v3_plugin_factory_3_iid)) {
    *obj = self;
    return V3_OK;
  }
  *obj = nullptr;
  return V3_NO_INTERFACE;
}

// The factory lives as long as the module: counting is for the host's sake.
uint32_t one(void*) { return 1; }

const v3_plugin_factory_cpp kFactoryTable = {
    {query, one, one},
    {[](void*, v3_factory_info* info) -> v3_result {
       if (!info) return V3_INVALID_ARG;
       std::memset(info, 0, sizeof *info);
       std::snprintf(info->vendor, sizeof info->vendor, "%s", kVendor);
       info->flags = 0x10;  // strings are UTF-16
       return V3_OK;
     },
     [](void*) -> int32_t { return 1; },
     [](void*, int32_t index, v3_class_info* info) -> v3_result {
       if (index != 0 || !info) return V3_INVALID_ARG;
       std::memset(info, 0, sizeof *info);
       fillCommon(info);
       std::snprintf(info->name, sizeof info->name, "%s", kName);
       return V3_OK;
     },
     [](void*, const v3_tuid cid, const v3_tuid iid, void** instance) -> v3_result {
       if (!instance) return V3_INVALID_ARG;
       *instance = nullptr;
       if (!v3_tuid_match(cid, kClassId)) return V3_NO_INTERFACE;
       return glimm::atBoundary(
           [&] {
             auto* plugin = new Plugin;
             const v3_result r = plugin->query(iid, instance);
             plugin->unref();  // the query's reference is the host's
             return r;
           },
           v3_result(V3_NOMEM));
     }},
    {[](void*, int32_t index, v3_class_info_2* info) -> v3_result {
      if (index != 0 || !info) return V3_INVALID_ARG;
      std::memset(info, 0, sizeof *info);
      fillCommon(info);
      std::snprintf(info->name, sizeof info->name, "%s", kName);
      std::snprintf(info->sub_categories, sizeof info->sub_categories, "Instrument|Synth");
      std::snprintf(info->vendor, sizeof info->vendor, "%s", kVendor);
      std::snprintf(info->version, sizeof info->version, "%s", GLIMM_VERSION);
      std::snprintf(info->sdk_version, sizeof info->sdk_version, "VST 3.7");
      return V3_OK;
    }},
    {[](void*, int32_t index, v3_class_info_3* info) -> v3_result {
       if (index != 0 || !info) return V3_INVALID_ARG;
       std::memset(info, 0, sizeof *info);
       fillCommon(info);
       copy16(info->name, 64, kName);
       std::snprintf(info->sub_categories, sizeof info->sub_categories, "Instrument|Synth");
       copy16(info->vendor, 64, kVendor);
       copy16(info->version, 64, GLIMM_VERSION);
       copy16(info->sdk_version, 64, "VST 3.7");
       return V3_OK;
     },
     [](void*, v3_funknown**) -> v3_result { return V3_OK; }},
};

Interface<v3_plugin_factory_cpp, Factory>& factory() {
  static Interface<v3_plugin_factory_cpp, Factory> f{&kFactoryTable, nullptr};
  return f;
}

}  // namespace

}  // namespace glimm::vst3

extern "C" {
__attribute__((visibility("default"))) void* GetPluginFactory() { return &glimm::vst3::factory(); }
__attribute__((visibility("default"))) bool ModuleEntry(void*) { return true; }
__attribute__((visibility("default"))) bool ModuleExit() { return true; }
}
