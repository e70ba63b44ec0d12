// The module's entry point, its one plug-in's descriptor, and the C
// callbacks, each of which keeps exceptions away from the host.
#include "GlimmClap.h"

#include "Boundary.h"
#include "GlimmContract.h"

#include <clap/ext/audio-ports.h>
#include <clap/ext/note-ports.h>
#include <clap/plugin-factory.h>
#include <clap/plugin-features.h>

#include <cstdio>
#include <cstring>

namespace glimm::clap {

namespace {

const char* kFeatures[] = {CLAP_PLUGIN_FEATURE_INSTRUMENT, CLAP_PLUGIN_FEATURE_SYNTHESIZER, nullptr};

template <typename R, typename F>
R guarded(F&& f, R onError) {
  return glimm::atBoundary(static_cast<F&&>(f), onError);
}

Plugin* self(const clap_plugin_t* p) { return Plugin::of(p); }

// ---- Extensions ----

const clap_plugin_params_t kParams = {
    [](const clap_plugin_t*) { return uint32_t(kGlimmParamCount); },
    [](const clap_plugin_t* p, uint32_t i, clap_param_info_t* info) { return self(p)->paramInfo(i, info); },
    [](const clap_plugin_t* p, clap_id id, double* v) { return self(p)->paramValue(id, v); },
    [](const clap_plugin_t*, clap_id id, double v, char* out, uint32_t size) {
      return Plugin::valueToText(id, v, out, size);
    },
    [](const clap_plugin_t*, clap_id id, const char* text, double* v) { return Plugin::textToValue(id, text, v); },
    [](const clap_plugin_t* p, const clap_input_events_t* in, const clap_output_events_t* out) {
      self(p)->flush(in, out);
    },
};

const clap_plugin_state_t kState = {
    [](const clap_plugin_t* p, const clap_ostream_t* s) { return guarded([&] { return self(p)->save(s); }, false); },
    [](const clap_plugin_t* p, const clap_istream_t* s) { return guarded([&] { return self(p)->load(s); }, false); },
};

const clap_plugin_latency_t kLatency = {[](const clap_plugin_t* p) { return self(p)->latency(); }};

const clap_plugin_note_ports_t kNotePorts = {
    [](const clap_plugin_t*, bool input) { return input ? 1u : 0u; },
    [](const clap_plugin_t*, uint32_t index, bool input, clap_note_port_info_t* info) {
      if (!input || index != 0 || !info) return false;
      info->id = 0;
      info->supported_dialects = CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI;
      info->preferred_dialect = CLAP_NOTE_DIALECT_CLAP;
      std::snprintf(info->name, sizeof info->name, "notes");
      return true;
    },
};

// Stereo: hosts put a one-channel instrument on the left of a stereo track.
const clap_plugin_audio_ports_t kAudioPorts = {
    [](const clap_plugin_t*, bool input) { return input ? 0u : 1u; },
    [](const clap_plugin_t*, uint32_t index, bool input, clap_audio_port_info_t* info) {
      if (input || index != 0 || !info) return false;
      info->id = 0;
      std::snprintf(info->name, sizeof info->name, "voice");
      info->flags = CLAP_AUDIO_PORT_IS_MAIN;
      info->channel_count = 2;
      info->port_type = CLAP_PORT_STEREO;
      info->in_place_pair = CLAP_INVALID_ID;
      return true;
    },
};

const clap_plugin_gui_t kGui = {
    [](const clap_plugin_t*, const char* api, bool floating) {
      return !floating && api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0;
    },
    [](const clap_plugin_t*, const char** api, bool* floating) {
      *api = CLAP_WINDOW_API_X11;
      *floating = false;
      return true;
    },
    [](const clap_plugin_t* p, const char* api, bool floating) {
      if (floating || !api || std::strcmp(api, CLAP_WINDOW_API_X11) != 0) return false;
      return guarded([&] { return self(p)->guiCreate(); }, false);
    },
    [](const clap_plugin_t* p) { glimm::atBoundary([&] { self(p)->guiDestroy(); }); },
    [](const clap_plugin_t*, double) { return false; },
    [](const clap_plugin_t*, uint32_t* w, uint32_t* h) {
      *w = uint32_t(kGlimmPanelWidth);
      *h = uint32_t(kGlimmPanelHeight);
      return true;
    },
    [](const clap_plugin_t*) { return false; },
    [](const clap_plugin_t*, clap_gui_resize_hints_t*) { return false; },
    [](const clap_plugin_t*, uint32_t*, uint32_t*) { return false; },
    [](const clap_plugin_t*, uint32_t w, uint32_t h) {
      return w == uint32_t(kGlimmPanelWidth) && h == uint32_t(kGlimmPanelHeight);
    },
    [](const clap_plugin_t* p, const clap_window_t* w) {
      return guarded([&] { return self(p)->guiSetParent(w); }, false);
    },
    [](const clap_plugin_t*, const clap_window_t*) { return false; },
    [](const clap_plugin_t*, const char*) {},
    [](const clap_plugin_t* p) { return guarded([&] { return self(p)->guiShow(true); }, false); },
    [](const clap_plugin_t* p) { return guarded([&] { return self(p)->guiShow(false); }, false); },
};

const clap_plugin_timer_support_t kTimer = {
    [](const clap_plugin_t* p, clap_id id) { glimm::atBoundary([&] { self(p)->onTimer(id); }); }};

const void* extension(const clap_plugin_t*, const char* id) {
  if (!id) return nullptr;
  const struct {
    const char* id;
    const void* ext;
  } table[] = {{CLAP_EXT_PARAMS, &kParams},          {CLAP_EXT_STATE, &kState},
               {CLAP_EXT_LATENCY, &kLatency},        {CLAP_EXT_NOTE_PORTS, &kNotePorts},
               {CLAP_EXT_AUDIO_PORTS, &kAudioPorts}, {CLAP_EXT_GUI, &kGui},
               {CLAP_EXT_TIMER_SUPPORT, &kTimer}};
  for (const auto& e : table)
    if (std::strcmp(e.id, id) == 0) return e.ext;
  return nullptr;
}

// ---- The plug-in and its factory ----

bool activate(const clap_plugin_t* p, double rate, uint32_t, uint32_t) {
  return guarded([&] { return self(p)->activate(rate); }, false);
}

clap_process_status process(const clap_plugin_t* p, const clap_process_t* process) {
  if (!process) return CLAP_PROCESS_ERROR;
  self(p)->process(process);
  return CLAP_PROCESS_CONTINUE;
}

const clap_plugin_t* create(const clap_host_t* host) {
  return guarded(
      [&]() -> const clap_plugin_t* {
        auto* plugin = new Plugin(host);
        return plugin->clap();
      },
      static_cast<const clap_plugin_t*>(nullptr));
}

const clap_plugin_factory_t kFactory = {
    [](const clap_plugin_factory_t*) { return 1u; },
    [](const clap_plugin_factory_t*, uint32_t index) { return index == 0 ? &kDescriptor : nullptr; },
    [](const clap_plugin_factory_t*, const clap_host_t* host, const char* id) -> const clap_plugin_t* {
      if (!host || !id || std::strcmp(id, kDescriptor.id) != 0 || !clap_version_is_compatible(host->clap_version))
        return nullptr;
      return create(host);
    },
};

}  // namespace

// A public contract, as the LV2 URI is: sessions name the plug-in by this id.
const clap_plugin_descriptor_t kDescriptor = {
    CLAP_VERSION_INIT,
    "org.glimm.speech",
    "Glimm",
    "The Glimm project",
    "",
    "",
    "",
    GLIMM_VERSION,
    "A speaking and singing voice: type a text, play it from the keyboard.",
    kFeatures,
};

const clap_plugin_t kPluginTemplate = {
    &kDescriptor,
    nullptr,
    [](const clap_plugin_t* p) { return guarded([&] { return self(p)->init(); }, false); },
    [](const clap_plugin_t* p) { glimm::atBoundary([&] { delete self(p); }); },
    activate,
    [](const clap_plugin_t*) {},
    [](const clap_plugin_t*) { return true; },
    [](const clap_plugin_t*) {},
    [](const clap_plugin_t* p) { self(p)->reset(); },
    process,
    extension,
    [](const clap_plugin_t*) {},
};

}  // namespace glimm::clap

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {
    CLAP_VERSION_INIT,
    [](const char*) { return true; },
    [] {},
    [](const char* id) -> const void* {
      return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &glimm::clap::kFactory : nullptr;
    },
};
