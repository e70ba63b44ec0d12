// A minimal LV2 UI host for the tests: loads the built glimm_ui.so, maps
// URIs, records everything the UI writes, and decodes its atom messages.
#pragma once

#include "GlimmLv2.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/patch/patch.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

struct UiWrite {
  uint32_t port = 0;
  uint32_t size = 0;
  uint32_t protocol = 0;
  QByteArray bytes;

  float asFloat() const {
    float v = 0;
    if (bytes.size() == sizeof v) std::memcpy(&v, bytes.constData(), sizeof v);
    return v;
  }
};

// A patch message as the DSP would read it; ok is false when it is not one.
struct DecodedPatch {
  bool ok = false;
  LV2_URID otype = 0;
  LV2_URID property = 0;
  LV2_URID valueType = 0;
  QByteArray value;  // string bytes without their NUL, or the raw body
};

class UiTestHost {
 public:
  UiTestHost() {
    m_map.handle = this;
    m_map.map = [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<UiTestHost*>(h)->map(uri); };
    m_resize.handle = this;
    m_resize.ui_resize = [](LV2UI_Feature_Handle h, int w, int height) {
      static_cast<UiTestHost*>(h)->resizes.append({w, height});
      return 0;
    };
  }
  ~UiTestHost() { close(); }

  // The descriptor with the UI's URI, or null (error() says why).
  const LV2UI_Descriptor* load() {
    if (m_descriptor) return m_descriptor;
    m_library = dlopen(GLIMM_LV2_UI_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!m_library) {
      m_error = dlerror();
      return nullptr;
    }
    auto entry = reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(m_library, "lv2ui_descriptor"));
    if (!entry) {
      m_error = "no lv2ui_descriptor";
      return nullptr;
    }
    for (uint32_t i = 0; const LV2UI_Descriptor* d = entry(i); ++i)
      if (std::strcmp(d->URI, GLIMM_LV2_UI_URI) == 0) m_descriptor = d;
    if (!m_descriptor) m_error = "no descriptor for " GLIMM_LV2_UI_URI;
    return m_descriptor;
  }
  const std::string& error() const { return m_error; }

  struct Options {
    bool map = true;
    bool resize = true;
    bool idle = true;
    uintptr_t parent = 0;
    const char* plugin = GLIMM_LV2_URI;
  };

  // Instantiates one UI; true when the UI gave a handle.
  bool open(const Options& o) {
    close();
    if (!load()) return false;
    std::vector<LV2_Feature> storage;
    if (o.map) storage.push_back({LV2_URID__map, &m_map});
    if (o.parent) storage.push_back({LV2_UI__parent, reinterpret_cast<void*>(o.parent)});
    if (o.resize) storage.push_back({LV2_UI__resize, &m_resize});
    if (o.idle) storage.push_back({LV2_UI__idleInterface, nullptr});
    std::vector<const LV2_Feature*> features;
    for (const LV2_Feature& f : storage) features.push_back(&f);
    features.push_back(nullptr);
    widget = nullptr;
    m_handle = m_descriptor->instantiate(m_descriptor, o.plugin, "/nonexistent/glimm.lv2/", &UiTestHost::write, this,
                                         &widget, features.data());
    if (m_handle && m_descriptor->extension_data)
      m_idle = static_cast<const LV2UI_Idle_Interface*>(m_descriptor->extension_data(LV2_UI__idleInterface));
    return m_handle != nullptr;
  }

  void close() {
    if (m_handle) m_descriptor->cleanup(m_handle);
    m_handle = nullptr;
    m_idle = nullptr;
  }

  bool isOpen() const { return m_handle != nullptr; }
  bool hasIdle() const { return m_idle != nullptr; }

  // Runs the UI's idle callback n times; the last result.
  int idle(int n = 5) {
    int result = -1;
    for (int i = 0; i < n && m_idle; ++i) result = m_idle->idle(m_handle);
    return result;
  }

  void sendControl(uint32_t port, float value) { m_descriptor->port_event(m_handle, port, sizeof value, 0, &value); }
  void sendRaw(uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
    m_descriptor->port_event(m_handle, port, size, format, buffer);
  }

  // The DSP's announcement of a text on the notify port.
  void announceText(const QByteArray& text) {
    const QByteArray atom = textSet(text);
    sendRaw(kGlimmPortNotify, uint32_t(atom.size()), map(LV2_ATOM__eventTransfer), atom.constData());
  }

  // A patch:Set of the text as the DSP forges it.
  QByteArray textSet(const QByteArray& text, LV2_URID property = 0) {
    alignas(8) uint8_t buffer[2048];
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &m_map);
    lv2_atom_forge_set_buffer(&forge, buffer, sizeof buffer);
    LV2_Atom_Forge_Frame frame;
    auto* atom = reinterpret_cast<LV2_Atom*>(lv2_atom_forge_object(&forge, &frame, 0, map(LV2_PATCH__Set)));
    lv2_atom_forge_key(&forge, map(LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, property ? property : map(GLIMM_LV2_TEXT_URI));
    lv2_atom_forge_key(&forge, map(LV2_PATCH__value));
    lv2_atom_forge_string(&forge, text.constData(), uint32_t(text.size()));
    lv2_atom_forge_pop(&forge, &frame);
    return QByteArray(reinterpret_cast<const char*>(atom), int(lv2_atom_total_size(atom)));
  }

  DecodedPatch decode(const UiWrite& w) {
    DecodedPatch d;
    if (w.protocol != map(LV2_ATOM__eventTransfer) || w.bytes.size() < int(sizeof(LV2_Atom_Object))) return d;
    // Copied, so the atom is aligned whatever QByteArray's storage is.
    std::vector<uint64_t> aligned((w.bytes.size() + 7) / 8);
    std::memcpy(aligned.data(), w.bytes.constData(), w.bytes.size());
    const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(aligned.data());
    if (lv2_atom_total_size(&obj->atom) != uint32_t(w.bytes.size()) || w.size != uint32_t(w.bytes.size())) return d;
    if (obj->atom.type != map(LV2_ATOM__Object)) return d;
    d.otype = obj->body.otype;
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(obj, map(LV2_PATCH__property), &property, map(LV2_PATCH__value), &value, 0);
    if (property && property->type == map(LV2_ATOM__URID))
      d.property = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
    if (value) {
      d.valueType = value->type;
      const char* body = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
      if (value->type == map(LV2_ATOM__String)) {
        // A string atom carries its NUL inside its size.
        if (value->size == 0 || body[value->size - 1] != '\0') return d;
        d.value = QByteArray(body, int(value->size) - 1);
      } else {
        d.value = QByteArray(body, int(value->size));
      }
    }
    d.ok = true;
    return d;
  }

  QList<DecodedPatch> patchesSent() {
    QList<DecodedPatch> out;
    for (const UiWrite& w : writes)
      if (w.port == kGlimmPortControl) out.append(decode(w));
    return out;
  }
  // The texts of the patch:Set messages of the text, in order sent.
  QList<QByteArray> textsSent() {
    QList<QByteArray> out;
    for (const DecodedPatch& p : patchesSent())
      if (p.ok && p.otype == map(LV2_PATCH__Set) && p.property == map(GLIMM_LV2_TEXT_URI) &&
          p.valueType == map(LV2_ATOM__String))
        out.append(p.value);
    return out;
  }
  int speaksSent() {
    int n = 0;
    for (const DecodedPatch& p : patchesSent())
      if (p.ok && p.otype == map(LV2_PATCH__Set) && p.property == map(GLIMM_LV2_SPEAK_URI) &&
          p.valueType == map(LV2_ATOM__Bool) && p.value.size() == sizeof(int32_t) &&
          *reinterpret_cast<const int32_t*>(p.value.constData()) != 0)
        ++n;
    return n;
  }

  LV2_URID map(const char* uri) {
    for (size_t i = 0; i < m_uris.size(); ++i)
      if (m_uris[i] == uri) return LV2_URID(i + 1);
    m_uris.push_back(uri);
    return LV2_URID(m_uris.size());
  }

  LV2UI_Widget widget = nullptr;
  QList<UiWrite> writes;
  QList<QPair<int, int>> resizes;

 private:
  static void write(LV2UI_Controller controller, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer) {
    UiWrite w;
    w.port = port;
    w.size = size;
    w.protocol = protocol;
    w.bytes = QByteArray(static_cast<const char*>(buffer), int(size));
    static_cast<UiTestHost*>(controller)->writes.append(w);
  }

  void* m_library = nullptr;  // never closed: the UI is linked to stay loaded
  const LV2UI_Descriptor* m_descriptor = nullptr;
  LV2UI_Handle m_handle = nullptr;
  const LV2UI_Idle_Interface* m_idle = nullptr;
  LV2_URID_Map m_map{};
  LV2UI_Resize m_resize{};
  std::vector<std::string> m_uris;
  std::string m_error;
};
