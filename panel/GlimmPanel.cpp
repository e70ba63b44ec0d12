// The panel module: the editor in a container widget, moved into the host's
// X11 window, and the editor's host link functions answering through the
// plug-in's callbacks.
#include "GlimmPanel.h"

#include "AUGlimm3_HostLink.h"
#include "GlimmContract.h"
#include "X11Calls.h"
#include "vstglimmeditor.h"

#include "Boundary.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>
#include <qguiapplication_platform.h>

#include <array>
#include <cstring>

namespace {

constexpr int kWidth = kGlimmPanelWidth;
constexpr int kHeight = kGlimmPanelHeight;

xcb_connection_t* xcbConnection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

}  // namespace

struct GlimmPanel {
  explicit GlimmPanel(const GlimmPanelHost* h) : host(*h) {
    shown.fill(-1.0f);
    text.fill('\0');
  }
  ~GlimmPanel() {
    if (editor) editor->close();
    delete editor;
    delete container;
    delete hostWindow;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    glimm::x11::flush(xcbConnection());
  }

  // Moves every control whose value the plug-in changed, and the text.
  void refresh() {
    for (int i = 0; i < kGlimmParamCount; ++i) {
      const float v = host.parameter(host.context, i);
      if (v != shown[i]) {
        shown[i] = v;
        editor->updateControls(i, v);
      }
    }
    std::array<char, kGlimmTextBufferSize> now;
    host.copyText(host.context, now.data());
    if (now != text) {
      text = now;
      editor->setTextFromAU();
    }
  }

  const GlimmPanelHost host;
  QWindow* hostWindow = nullptr;
  QWidget* container = nullptr;
  VstGlimm3Editor* editor = nullptr;
  // What the panel shows, to tell the plug-in's changes from its own.
  std::array<float, kGlimmParamCount> shown;
  std::array<char, kGlimmTextBufferSize> text;
};

namespace {

GlimmPanel* openPanel(const GlimmPanelHost* host) {
  if (!host) return nullptr;
  // Qt's xcb platform for a host without Qt, whatever the environment names;
  // a host's own application (Qt, any platform) is used as it is.
  if (!QCoreApplication::instance()) {
    if (!glimm::x11::displayReachable()) return nullptr;
    pluginInstance("xcb");
  }
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  auto* panel = new GlimmPanel(host);
  panel->container = new QWidget;
  panel->container->setAttribute(Qt::WA_NativeWindow);
  panel->container->setFixedSize(kWidth, kHeight);
  panel->editor = new VstGlimm3Editor(panel);
  if (!panel->editor->open(panel->container)) {
    delete panel;
    return nullptr;
  }
  panel->refresh();
  return panel;
}

int embed(GlimmPanel* panel, unsigned long window) {
  if (!panel || QGuiApplication::platformName() != "xcb") return 0;
  if (!glimm::x11::windowExists(xcbConnection(), window)) return 0;
  delete panel->hostWindow;
  panel->hostWindow = QWindow::fromWinId(WId(window));
  if (!panel->hostWindow) return 0;
  // Qt 6.4 crashes showing a widget whose window was given a parent before
  // Qt created it: created first, then moved while unmapped.
  panel->container->winId();
  QWindow* own = panel->container->windowHandle();
  if (!own) return 0;
  own->setParent(panel->hostWindow);
  own->setPosition(0, 0);
  return 1;
}

void show(GlimmPanel* panel, int visible) {
  if (panel) panel->container->setVisible(visible != 0);
}

void idle(GlimmPanel* panel) {
  if (!panel) return;
  panel->refresh();
  // The host's loop runs, never Qt's: this is where Qt gets its events.
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

const GlimmPanelApi kApi = {
    [](const GlimmPanelHost* host) {
      return glimm::atBoundary([&] { return openPanel(host); }, static_cast<GlimmPanel*>(nullptr));
    },
    [](GlimmPanel* panel, unsigned long window) { return glimm::atBoundary([&] { return embed(panel, window); }, 0); },
    [](GlimmPanel* panel, int visible) { glimm::atBoundary([&] { show(panel, visible); }); },
    [](GlimmPanel* panel) { glimm::atBoundary([&] { idle(panel); }); },
    [](GlimmPanel* panel) { glimm::atBoundary([&] { delete panel; }); },
    kWidth,
    kHeight,
};

GlimmPanel* panelOf(void* hostContext) { return static_cast<GlimmPanel*>(hostContext); }

}  // namespace

extern "C" __attribute__((visibility("default"))) const GlimmPanelApi* glimm_panel_api(void) { return &kApi; }

// ---- The editor's host link ------------------------------------------------

void parameterDispatcher(void* hostContext, int index, float value, void*) {
  if (!hostContext || index < 0 || index >= kGlimmParamCount) return;
  glimm::atBoundary([&] {
    GlimmPanel* p = panelOf(hostContext);
    p->shown[index] = value;
    p->host.setParameter(p->host.context, index, value);
  });
}

void setTextProperty(void* hostContext, char* textBuffer, void*) {
  if (!hostContext || !textBuffer) return;
  glimm::atBoundary([&] {
    GlimmPanel* p = panelOf(hostContext);
    const void* nul = std::memchr(textBuffer, 0, kGlimmTextBufferSize);
    const size_t n = nul ? size_t(static_cast<const char*>(nul) - textBuffer) : size_t(kGlimmTextMaxBytes);
    p->host.setText(p->host.context, textBuffer, n);
    // What the editor sent is what it shows: no echo back into it.
    p->host.copyText(p->host.context, p->text.data());
  });
}

void setPlayProperty(void* hostContext) {
  if (!hostContext) return;
  glimm::atBoundary([&] { panelOf(hostContext)->host.speak(panelOf(hostContext)->host.context); });
}

int getProperty(void* hostContext, int propertyID, void* data, int size) {
  if (!hostContext) return -1;
  if (propertyID != kGlimmProperty_Text || !data || size != kGlimmTextBufferSize) return -50;
  return glimm::atBoundary(
      [&] {
        GlimmPanel* p = panelOf(hostContext);
        p->host.copyText(p->host.context, static_cast<char*>(data));
        return 0;
      },
      -1);
}

void activateCocoaWindow(void* nativeView) {
  if (!nativeView) return;
  // Hosts keep the keyboard on their own window: a click in the text field claims it.
  glimm::atBoundary([&] {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11) glimm::x11::focus(x11->display(), x11->connection(), reinterpret_cast<uintptr_t>(nativeView));
  });
}
