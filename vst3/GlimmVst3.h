// Glimm as a VST3 plug-in: one object that is the component, the audio
// processor, the edit controller and the MIDI mapping (a single-component
// plug-in), a thin adaptor over one VoiceController. The interfaces are
// Debian's C declarations of VST3 (dpf-source's "travesty"); the parameters
// come from the contract's table (the VST3 id is the parameter ID), the
// state from the serializer shared with the CLAP, the view from
// GlimmPanel.so.
//
// Threads, as VST3 hosts call:
//   UI thread   initialize, terminate, buses, setup_processing, set_active,
//               state, parameter info and values, the controller, the view
//               and its run-loop timer
//   audio       process, set_processing: never lock, allocate, wait or make a
//               system call (an offline render, V3_OFFLINE, may wait for the
//               engine, as VoiceController::render allows)
#pragma once

#include "GlimmPanel.h"
#include "VoiceController.h"

#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/factory.h>
#include <travesty/view.h>

#include <atomic>
#include <cstdint>

namespace glimm::vst3 {

// The interface pointer a host holds: a pointer to this, whose first member
// is the table of functions; `owner` takes the callbacks back to the object.
template <typename Table, typename Owner>
struct Interface {
  const Table* table;
  Owner* owner;
  static Owner* of(void* self) { return static_cast<Interface*>(self)->owner; }
};

// The class id, a public contract as the LV2 URI is: sessions name it.
extern const v3_tuid kClassId;

// MIDI controls that reach the voice as parameters, the way VST3 delivers
// them (IMidiMapping): hidden, after the contract's parameters.
enum : v3_param_id { kBendParam = 0x10000, kAllOffParam = 0x10001 };

class Plugin {
 public:
  Plugin();
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  v3_result query(const v3_tuid iid, void** obj);
  uint32_t ref() { return ++m_refs; }
  uint32_t unref();

  // IComponent
  v3_result busInfo(int32_t type, int32_t direction, int32_t index, v3_bus_info* info) const;
  v3_result setActive(bool active);
  v3_result setState(v3_bstream** stream);
  v3_result getState(v3_bstream** stream) const;
  // IAudioProcessor
  v3_result setup(const v3_process_setup* setup);
  v3_result process(v3_process_data* data);
  uint32_t latency() const { return uint32_t(m_voice.latencyFrames()); }
  // IEditController
  v3_result paramInfo(int32_t index, v3_param_info* info) const;
  double normalised(v3_param_id id) const;
  v3_result setNormalised(v3_param_id id, double value);
  static double toPlain(v3_param_id id, double normalised);
  static double toNormalised(v3_param_id id, double plain);
  v3_result setHandler(v3_component_handler** handler);
  v3_plugin_view** createView(const char* name);

  VoiceController& voice() { return m_voice; }
  // The panel's control change: to the voice, and to the host as an edit.
  void editFromPanel(int index, float value);

 private:
  void applyParameters(v3_param_changes** changes);
  void applyEvents(v3_event_list** events);

  Interface<v3_component_cpp, Plugin> m_component;
  Interface<v3_audio_processor_cpp, Plugin> m_processor;
  Interface<v3_edit_controller_cpp, Plugin> m_controller;
  Interface<v3_midi_mapping_cpp, Plugin> m_midiMapping;
  std::atomic<uint32_t> m_refs{1};
  VoiceController m_voice;
  double m_rate = 48000;
  int32_t m_maxBlock = 0;
  bool m_offline = false;
  v3_component_handler** m_handler = nullptr;
};

}  // namespace glimm::vst3
