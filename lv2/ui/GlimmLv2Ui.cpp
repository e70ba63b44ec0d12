// The LV2 UI's entry points. The panel is the one glimm-host shows; only the
// way it reaches the DSP differs (atom messages and control ports).
#include "GlimmLv2Ui.h"

#include "AUGlimm3_HostLink.h"
#include "GlimmContract.h"
#include "X11Calls.h"
#include "vstglimmeditor.h"

#include "Boundary.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>
#include <qguiapplication_platform.h>

#include <lv2/atom/util.h>

#include <cstring>
#include <string>

namespace {

template <typename T>
const T* feature(const LV2_Feature* const* features, const char* uri) {
  for (const LV2_Feature* const* f = features; f && *f; ++f)
    if ((*f)->URI && std::strcmp((*f)->URI, uri) == 0) return static_cast<const T*>((*f)->data);
  return nullptr;
}

// An X11 UI needs Qt's xcb platform, whatever the user's environment names
// for Qt programs; the host's environment is left as it is.
bool makeApplication() {
  if (!glimm::x11::displayReachable()) return false;
  pluginInstance("xcb");
  return QCoreApplication::instance() != nullptr;
}

xcb_connection_t* xcbConnection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

}  // namespace

GlimmLv2Ui::GlimmLv2Ui(LV2UI_Write_Function write, LV2UI_Controller controller, LV2_URID_Map* map)
    : m_write(write), m_controller(controller), m_uris(map) {
  lv2_atom_forge_init(&m_forge, map);
}

GlimmLv2Ui* GlimmLv2Ui::create(LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                               const LV2_Feature* const* features) {
  auto* map = const_cast<LV2_URID_Map*>(feature<LV2_URID_Map>(features, LV2_URID__map));
  const uintptr_t parent = reinterpret_cast<uintptr_t>(feature<void>(features, LV2_UI__parent));
  if (!write || !map || !map->map || !parent) return nullptr;

  if (!QCoreApplication::instance() && !makeApplication()) return nullptr;
  // Widgets need a QApplication, and embedding needs X: a Qt host that made
  // a core application or runs on another platform cannot show this panel.
  if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || QGuiApplication::platformName() != "xcb")
    return nullptr;
  if (!glimm::x11::windowExists(xcbConnection(), parent)) return nullptr;

  auto* ui = new GlimmLv2Ui(write, controller, map);
  if (!ui->open(parent)) {
    delete ui;
    return nullptr;
  }
  if (widget) *widget = reinterpret_cast<LV2UI_Widget>(uintptr_t(ui->m_container->winId()));
  if (const auto* resize = feature<LV2UI_Resize>(features, LV2_UI__resize))
    if (resize->ui_resize) resize->ui_resize(resize->handle, kGlimmPanelWidth, kGlimmPanelHeight);
  // Some hosts never ask the DSP for its state on the UI's behalf.
  ui->sendPatchGet();
  return ui;
}

bool GlimmLv2Ui::open(uintptr_t parent) {
  m_hostWindow = QWindow::fromWinId(WId(parent));
  if (!m_hostWindow) return false;
  m_container = new QWidget;
  m_container->setAttribute(Qt::WA_NativeWindow);
  m_container->setFixedSize(kGlimmPanelWidth, kGlimmPanelHeight);
  m_editor = new VstGlimm3Editor(this);
  if (!m_editor->open(m_container)) return false;
  // Qt 6.4 crashes showing a widget whose window was given a parent before
  // Qt created it; so it is created first and moved into the host's window
  // while still unmapped: it never appears on its own.
  m_container->winId();
  QWindow* own = m_container->windowHandle();
  if (!own) return false;
  own->setParent(m_hostWindow);
  own->setPosition(0, 0);
  m_container->show();
  return true;
}

GlimmLv2Ui::~GlimmLv2Ui() {
  if (m_editor) m_editor->close();
  delete m_editor;
  // The panel's window is a child of the host's: it goes first, or deleting
  // the host's window would take it along behind the widget's back.
  delete m_container;
  delete m_hostWindow;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  glimm::x11::flush(xcbConnection());
}

int GlimmLv2Ui::idle() {
  // The host's loop runs, never Qt's: this is where Qt gets its events.
  QCoreApplication::processEvents();
  // Outside a running event loop Qt never gets round to deferred deletes.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return 0;
}

void GlimmLv2Ui::portEvent(uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
  if (!buffer || !m_editor) return;
  if (format == 0) {
    const int parameter = glimmPortParameter(port);
    if (parameter < 0 || size < sizeof(float)) return;
    float value;
    std::memcpy(&value, buffer, sizeof value);
    m_editor->updateControls(parameter, value);
  } else if (format == m_uris.atomEventTransfer && port == kGlimmPortNotify) {
    receive(static_cast<const LV2_Atom*>(buffer), size);
  }
}

void GlimmLv2Ui::receive(const LV2_Atom* atom, uint32_t size) {
  // Everything below comes from the host: every size is checked against
  // the bytes actually given before it is followed.
  if (size < sizeof(LV2_Atom) || atom->size > size - sizeof(LV2_Atom)) return;
  glimm::lv2::PatchMessage m;
  if (!glimm::lv2::parsePatch(m_uris, *atom, m) || m.otype != m_uris.patchSet || m.property != m_uris.text) return;
  const LV2_Atom* value = m.value;
  if (!value || value->type != m_uris.atomString) return;
  const char* body = reinterpret_cast<const char*>(value + 1);
  const std::string text(body, glimm::lv2::shownTextLength(body, value->size));
  if (!m_echoes.shouldShow(text)) return;

  m_announced.fill('\0');
  std::memcpy(m_announced.data(), text.data(), text.size());
  m_haveAnnounced = true;
  m_editor->setTextFromAU();
}

LV2_Atom_Forge& GlimmLv2Ui::newMessage() {
  lv2_atom_forge_set_buffer(&m_forge, m_message.data(), m_message.size());
  return m_forge;
}

void GlimmLv2Ui::send(LV2_Atom_Forge_Ref message) {
  if (!message) return;  // did not fit; cannot happen for our messages
  const auto* atom = static_cast<const LV2_Atom*>(lv2_atom_forge_deref(&m_forge, message));
  m_write(m_controller, kGlimmPortControl, lv2_atom_total_size(atom), m_uris.atomEventTransfer, atom);
}

void GlimmLv2Ui::sendParameter(int index, float value) {
  if (index < 0 || index >= kGlimmParamCount) return;
  m_write(m_controller, glimmParameterPort(index), sizeof(float), 0, &value);
}

void GlimmLv2Ui::sendText(const char* text) {
  if (!text) return;
  // The editor's buffer always holds a NUL within its size; stay inside it
  // even if it does not.
  const void* nul = std::memchr(text, 0, kGlimmTextBufferSize);
  const uint32_t length = nul ? uint32_t(static_cast<const char*>(nul) - text) : uint32_t(kGlimmTextMaxBytes);
  const LV2_Atom_Forge_Ref message = glimm::lv2::writeSetString(newMessage(), m_uris, m_uris.text, text, length);
  if (!message) return;
  m_echoes.sent(std::string(text, length));
  send(message);
}

void GlimmLv2Ui::sendSpeak() { send(glimm::lv2::writeSpeak(newMessage(), m_uris)); }

void GlimmLv2Ui::sendPatchGet() { send(glimm::lv2::writeGet(newMessage(), m_uris)); }

int GlimmLv2Ui::readText(int propertyID, void* data, int size) const {
  if (propertyID != kGlimmProperty_Text || !data || size != kGlimmTextBufferSize) return -50;
  if (!m_haveAnnounced) return -1;
  std::memcpy(data, m_announced.data(), kGlimmTextBufferSize);
  return 0;
}

// ---- Descriptor ----------------------------------------------------------------

namespace {

GlimmLv2Ui* uiOf(LV2UI_Handle handle) { return static_cast<GlimmLv2Ui*>(handle); }

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* pluginUri, const char*, LV2UI_Write_Function write,
                         LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
  if (!pluginUri || std::strcmp(pluginUri, GLIMM_LV2_URI) != 0) return nullptr;
  return glimm::atBoundary([&]() -> LV2UI_Handle { return GlimmLv2Ui::create(write, controller, widget, features); },
                           LV2UI_Handle(nullptr));
}

void cleanup(LV2UI_Handle handle) {
  glimm::atBoundary([&] { delete uiOf(handle); });
}

void portEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
  if (!handle) return;
  glimm::atBoundary([&] { uiOf(handle)->portEvent(port, size, format, buffer); });
}

int idle(LV2UI_Handle handle) {
  if (!handle) return 1;
  return glimm::atBoundary([&] { return uiOf(handle)->idle(); }, 1);
}

const LV2UI_Idle_Interface kIdle = {idle};

const void* extensionData(const char* uri) {
  if (uri && std::strcmp(uri, LV2_UI__idleInterface) == 0) return &kIdle;
  return nullptr;
}

const LV2UI_Descriptor kDescriptor = {GLIMM_LV2_UI_URI, instantiate, cleanup, portEvent, extensionData};

}  // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : nullptr;
}
