// The few X calls the editor's embedding makes (the LV2 UI, GlimmPanel.so). Xlib's and xcb's headers stay out of every
// Qt file: their macros (None, KeyPress, FocusIn...) break Qt's headers.
//
// Threads: the UI thread, the one Qt's connection is used from. Each call
// may wait for the X server's reply; none is for a real-time thread.
#pragma once

namespace glimm::x11 {

// True when an X server can be reached through $DISPLAY. Checked before the
// first QApplication is made: without a server, Qt's xcb platform aborts.
bool displayReachable();

// True when window exists on the server behind connection (an
// xcb_connection_t*). Asked without raising an X error anyone else sees.
bool windowExists(void* connection, unsigned long window);

// Sends what Qt has queued on connection now. Qt flushes only when its own
// events are processed; without this, a closed panel's window would stay in
// the host's until the next idle call of some other Qt window, if any.
void flush(void* connection);

// Gives window the keyboard focus when it is viewable (focus on an unmapped
// window is an X error); display is the Xlib Display* behind connection.
// False when it was not viewable.
bool focus(void* display, void* connection, unsigned long window);

}  // namespace glimm::x11
