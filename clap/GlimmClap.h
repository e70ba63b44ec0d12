// One CLAP instance of Glimm: a thin adaptor over one VoiceController. The
// parameters come from the contract's table (the CLAP id is the parameter
// ID), the state from the serializer shared with the VST3, the panel from
// GlimmPanel.so, loaded beside this module when the host opens the GUI.
//
// Threads, in CLAP's classes:
//   main      create, init, destroy, activate, deactivate, state, latency,
//             ports, params' info and text, flush while inactive, gui, timer
//   audio     process, reset, start/stop_processing, flush while active:
//             never lock, allocate, wait or make a system call
//   any       params' get_value
#pragma once

#include "GlimmPanel.h"
#include "MpscQueue.h"
#include "VoiceController.h"

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin.h>

#include <atomic>
#include <cstdint>

namespace glimm::clap {

extern const clap_plugin_descriptor_t kDescriptor;
// The callbacks every instance shares; plugin_data is set per instance.
extern const clap_plugin_t kPluginTemplate;

class Plugin {
 public:
  explicit Plugin(const clap_host_t* host);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  const clap_plugin_t* clap() const { return &m_plugin; }
  static Plugin* of(const clap_plugin_t* plugin) { return static_cast<Plugin*>(plugin->plugin_data); }

  bool init();
  bool activate(double rate);
  void process(const clap_process_t* process);
  void reset();

  // params
  bool paramInfo(uint32_t index, clap_param_info_t* info) const;
  bool paramValue(clap_id id, double* value) const;
  static bool valueToText(clap_id id, double value, char* out, uint32_t size);
  static bool textToValue(clap_id id, const char* text, double* value);
  void flush(const clap_input_events_t* in, const clap_output_events_t* out);

  bool save(const clap_ostream_t* stream) const;
  bool load(const clap_istream_t* stream);
  uint32_t latency() const;

  // gui (GlimmClapGui.cpp)
  bool guiCreate();
  void guiDestroy();
  bool guiSetParent(const clap_window_t* window);
  bool guiShow(bool visible);
  void onTimer(clap_id id);

 private:
  void handleEvent(const clap_event_header_t* event);
  // GUI changes not yet told to the host, as parameter events.
  void sendGuiChanges(const clap_output_events_t* out);
  static const GlimmPanelApi* panelApi();

  struct GuiChange {
    uint32_t index = 0;
    float value = 0;
  };

  clap_plugin_t m_plugin;
  const clap_host_t* const m_host;
  const clap_host_params_t* m_hostParams = nullptr;
  const clap_host_latency_t* m_hostLatency = nullptr;
  const clap_host_timer_support_t* m_hostTimer = nullptr;
  const clap_host_state_t* m_hostState = nullptr;
  VoiceController m_voice;
  double m_rate = 0;
  // What latency() last told the host; the audio thread asks for a restart
  // when the voice's latency has grown past it (a longer block).
  mutable std::atomic<uint64_t> m_reportedLatency{0};
  std::atomic<bool> m_restartAsked{false};
  glimm::MpscQueue<GuiChange, 256> m_guiChanges;

  GlimmPanelHost m_panelHost{};
  GlimmPanel* m_panel = nullptr;
  clap_id m_timer = CLAP_INVALID_ID;
};

}  // namespace glimm::clap
