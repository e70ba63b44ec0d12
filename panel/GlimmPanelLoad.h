// Finds GlimmPanel.so beside the module that includes this (each adaptor
// compiles its own copy, so dladdr names that adaptor's file) and loads it
// once; null when it is missing. The panel module is built not to unload,
// since the Qt application it may have made lives on.
//
// Threads: the host's GUI thread.
#pragma once

#include "GlimmPanel.h"

#include <dlfcn.h>

#include <string>

namespace glimm::panel {

inline const GlimmPanelApi* load() {
  static const GlimmPanelApi* api = []() -> const GlimmPanelApi* {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&load), &info) || !info.dli_fname) return nullptr;
    std::string path = info.dli_fname;
    path = path.substr(0, path.rfind('/') + 1) + GLIMM_PANEL_FILE_NAME;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return nullptr;
    auto get = reinterpret_cast<const GlimmPanelApi* (*)()>(dlsym(module, GLIMM_PANEL_API_SYMBOL));
    return get ? get() : nullptr;
  }();
  return api;
}

}  // namespace glimm::panel
