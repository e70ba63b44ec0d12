// The X calls the panel makes, kept out of every Qt file: Xlib's and xcb's
// macros (None, KeyPress...) break Qt's headers.
#pragma once

namespace glimm::panelx11 {

// True when an X server can be reached through $DISPLAY. Asked before the
// first QApplication is made: without a server, Qt's xcb platform aborts.
bool displayReachable();
// True when window exists on the server behind connection (an xcb_connection_t*).
bool windowExists(void* connection, unsigned long window);
void flush(void* connection);

}  // namespace glimm::panelx11
