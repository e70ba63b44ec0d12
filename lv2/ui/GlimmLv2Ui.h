// One open LV2 UI: the editor panel inside the host's window, and the atom
// messages and control values between it and the DSP.
//
// Threads: everything here runs on the host's UI thread (LV2's UI threading
// class: instantiate, port_event, idle, cleanup), the thread Qt's widgets
// live on. Nothing here is real-time: it locks, allocates and waits as Qt
// does. No exception leaves: the entry points hold the boundary.
#pragma once

#include "GlimmLv2.h"
#include "GlimmLv2Messages.h"
#include "TextEchoes.h"

#include <lv2/atom/forge.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstdint>

class QWidget;
class QWindow;
class VstGlimm3Editor;

class GlimmLv2Ui {
 public:
  // Null when the host's features or the display do not allow a panel. Makes
  // the QApplication when the host has none.
  static GlimmLv2Ui* create(LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                            const LV2_Feature* const* features);
  ~GlimmLv2Ui();
  GlimmLv2Ui(const GlimmLv2Ui&) = delete;
  GlimmLv2Ui& operator=(const GlimmLv2Ui&) = delete;

  // A control value or an atom from the DSP, as the host delivers it.
  void portEvent(uint32_t port, uint32_t size, uint32_t format, const void* buffer);
  // Where Qt gets its events: the host's loop runs, never Qt's.
  int idle();

  // What the editor's host link asks for, from Qt's event dispatch.
  void sendParameter(int index, float value);
  void sendText(const char* text);
  void sendSpeak();
  // The text last announced by the DSP, NUL-padded into size bytes; nonzero
  // when there is none yet or the request is not for the text.
  int readText(int propertyID, void* data, int size) const;

 private:
  GlimmLv2Ui(LV2UI_Write_Function write, LV2UI_Controller controller, LV2_URID_Map* map);
  bool open(uintptr_t parent);
  void sendPatchGet();
  // The forge, set to write a new message into m_message.
  LV2_Atom_Forge& newMessage();
  // Writes a message from newMessage() to the DSP; nothing when it did not fit.
  void send(LV2_Atom_Forge_Ref message);
  void receive(const LV2_Atom* atom, uint32_t size);

  LV2UI_Write_Function m_write;
  LV2UI_Controller m_controller;
  glimm::lv2::Uris m_uris;
  LV2_Atom_Forge m_forge;
  // Room for a patch:Set of the longest text.
  alignas(8) std::array<uint8_t, 2048> m_message{};

  QWindow* m_hostWindow = nullptr;
  QWidget* m_container = nullptr;
  VstGlimm3Editor* m_editor = nullptr;

  std::array<char, kGlimmTextBufferSize> m_announced{};
  bool m_haveAnnounced = false;
  glimm::TextEchoes m_echoes;
};
