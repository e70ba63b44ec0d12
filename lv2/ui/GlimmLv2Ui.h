// One open LV2 UI: the editor panel inside the host's window, and the atom
// messages and control values between it and the DSP.
#pragma once

#include "GlimmLv2.h"
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
  // Null when the host's features or the display do not allow a panel.
  static GlimmLv2Ui* create(LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                            const LV2_Feature* const* features);
  ~GlimmLv2Ui();
  GlimmLv2Ui(const GlimmLv2Ui&) = delete;
  GlimmLv2Ui& operator=(const GlimmLv2Ui&) = delete;

  void portEvent(uint32_t port, uint32_t size, uint32_t format, const void* buffer);
  int idle();

  // What the editor's host link asks for.
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
  void sendAtom(const LV2_Atom* atom);
  void receive(const LV2_Atom* atom, uint32_t size);

  struct Uris {
    explicit Uris(LV2_URID_Map* map);
    LV2_URID atomEventTransfer, atomObject, atomBlank, atomResource, atomString, atomURID;
    LV2_URID patchGet, patchSet, patchProperty, patchValue;
    LV2_URID text, speak;
  };

  LV2UI_Write_Function m_write;
  LV2UI_Controller m_controller;
  Uris m_uris;
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
