// The test host's own X window and the X queries the tests make, through a
// connection of the test's own. Xlib's macros stay out of the Qt files.
#pragma once

#include <vector>

namespace x11test {

class HostWindow {
 public:
  // Opens $DISPLAY and maps a width x height top-level window; ok() says
  // whether it worked.
  HostWindow(int width, int height);
  ~HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  bool ok() const { return m_window != 0; }
  unsigned long id() const { return m_window; }

  // The X parent of window (0 when it has none or does not exist).
  unsigned long parentOf(unsigned long window) const;
  // The children of this window, as the server sees them.
  std::vector<unsigned long> children() const;
  unsigned long focusedWindow() const;
  // Moves the focus back to this window, away from anything embedded.
  void takeFocus() const;
  // Whether window exists and is mapped with all its ancestors.
  bool viewable(unsigned long window) const;

 private:
  void* m_display = nullptr;
  unsigned long m_window = 0;
};

}  // namespace x11test
