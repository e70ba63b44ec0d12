// The editor's host link for LV2: the host context is the GlimmLv2Ui the
// editor was made for.
#include "AUGlimm3_HostLink.h"

#include "GlimmLv2Ui.h"
#include "X11Calls.h"

#include "Boundary.h"

#include <QGuiApplication>
#include <qguiapplication_platform.h>

#include <cstdint>

namespace {

GlimmLv2Ui* uiOf(void* hostContext) { return static_cast<GlimmLv2Ui*>(hostContext); }

}  // namespace

void parameterDispatcher(void* hostContext, int index, float value, void*) {
  if (!hostContext) return;
  glimm::atBoundary([&] { uiOf(hostContext)->sendParameter(index, value); });
}

void setTextProperty(void* hostContext, char* textBuffer, void*) {
  if (!hostContext) return;
  glimm::atBoundary([&] { uiOf(hostContext)->sendText(textBuffer); });
}

void setPlayProperty(void* hostContext) {
  if (!hostContext) return;
  glimm::atBoundary([&] { uiOf(hostContext)->sendSpeak(); });
}

int getProperty(void* hostContext, int propertyID, void* data, int size) {
  if (!hostContext) return -1;
  return glimm::atBoundary([&] { return uiOf(hostContext)->readText(propertyID, data, size); }, -1);
}

void activateCocoaWindow(void* nativeView) {
  if (!nativeView) return;
  glimm::atBoundary([&] {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11) return;
    glimm::x11::focus(x11->display(), x11->connection(), reinterpret_cast<uintptr_t>(nativeView));
  });
}
