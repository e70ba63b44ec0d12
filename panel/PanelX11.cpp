#include "PanelX11.h"

#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace glimm::panelx11 {

bool displayReachable() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  XCloseDisplay(display);
  return true;
}

bool windowExists(void* connection, unsigned long window) {
  auto* c = static_cast<xcb_connection_t*>(connection);
  if (!c || window == 0) return false;
  xcb_generic_error_t* error = nullptr;
  xcb_get_geometry_reply_t* reply = xcb_get_geometry_reply(c, xcb_get_geometry(c, xcb_window_t(window)), &error);
  std::free(error);
  const bool exists = reply != nullptr;
  std::free(reply);
  return exists;
}

void flush(void* connection) {
  if (connection) xcb_flush(static_cast<xcb_connection_t*>(connection));
}

}  // namespace glimm::panelx11
