#include "X11Calls.h"

#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace glimm::x11 {

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

bool focus(void* display, void* connection, unsigned long window) {
  auto* d = static_cast<Display*>(display);
  auto* c = static_cast<xcb_connection_t*>(connection);
  if (!d || !c || window == 0) return false;
  xcb_generic_error_t* error = nullptr;
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, xcb_window_t(window)), &error);
  std::free(error);
  const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  std::free(attributes);
  if (!viewable) return false;
  // Hosts keep the focus on their own window and take keys for shortcuts;
  // the embedded panel has to claim it when clicked.
  XSetInputFocus(d, Window(window), RevertToParent, CurrentTime);
  XFlush(d);
  return true;
}

}  // namespace glimm::x11
