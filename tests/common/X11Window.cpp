#include "X11Window.h"

#include <X11/Xlib.h>

namespace x11test {

namespace {
Display* dpy(void* d) { return static_cast<Display*>(d); }

// The tests ask about windows that may be gone; an X error must not end them.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }
}  // namespace

HostWindow::HostWindow(int width, int height) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return;
  m_display = d;
  XSetErrorHandler(ignoreErrors);
  const int screen = DefaultScreen(d);
  m_window = XCreateSimpleWindow(d, RootWindow(d, screen), 0, 0, unsigned(width), unsigned(height), 0,
                                 BlackPixel(d, screen), WhitePixel(d, screen));
  XSelectInput(d, m_window, StructureNotifyMask);
  XMapWindow(d, m_window);
  // Wait until the server has mapped it, so that children become viewable.
  XEvent event;
  do XNextEvent(d, &event);
  while (event.type != MapNotify);
  XSync(d, False);
}

HostWindow::~HostWindow() {
  if (!m_display) return;
  if (m_window) XDestroyWindow(dpy(m_display), m_window);
  XCloseDisplay(dpy(m_display));
}

unsigned long HostWindow::parentOf(unsigned long window) const {
  Window root = 0, parent = 0, *kids = nullptr;
  unsigned int count = 0;
  XSync(dpy(m_display), False);
  if (!XQueryTree(dpy(m_display), window, &root, &parent, &kids, &count)) return 0;
  if (kids) XFree(kids);
  return parent;
}

std::vector<unsigned long> HostWindow::children() const {
  Window root = 0, parent = 0, *kids = nullptr;
  unsigned int count = 0;
  XSync(dpy(m_display), False);
  std::vector<unsigned long> out;
  if (!XQueryTree(dpy(m_display), m_window, &root, &parent, &kids, &count)) return out;
  for (unsigned int i = 0; i < count; ++i) out.push_back(kids[i]);
  if (kids) XFree(kids);
  return out;
}

unsigned long HostWindow::focusedWindow() const {
  Window focus = 0;
  int revert = 0;
  XSync(dpy(m_display), False);
  XGetInputFocus(dpy(m_display), &focus, &revert);
  return focus;
}

void HostWindow::takeFocus() const {
  XSetInputFocus(dpy(m_display), m_window, RevertToParent, CurrentTime);
  XSync(dpy(m_display), False);
}

bool HostWindow::viewable(unsigned long window) const {
  XWindowAttributes attributes;
  XSync(dpy(m_display), False);
  if (!XGetWindowAttributes(dpy(m_display), window, &attributes)) return false;
  return attributes.map_state == IsViewable;
}

}  // namespace x11test
