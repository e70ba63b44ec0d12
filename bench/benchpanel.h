// The two sides every editor benchmark compares: the host's window with the
// unit's editor opened the Mac way, and the same window with the same panel
// built directly in Qt (same widgets, geometry, fonts and style sheets).
#pragma once

#include <QObject>
#include <QSet>

#include <memory>
#include <string>

class EditorWindow;
class QWidget;
class UnitHost;

namespace bench {

// What both sides show: the unit is set to these before its editor opens.
constexpr float kPanelValues[5] = {64, 100, 128, 128, 0};
extern const char kPanelText[];

// The panel as a plain Qt program would build it, filled with kPanelValues
// and kPanelText, inside `parent` (which takes its 440 x 320 size).
QWidget* buildBarePanel(QWidget* parent);

// The host window without an editor (the unit is never asked).
std::unique_ptr<EditorWindow> makeBareWindow();
// Loads the speech unit beside this executable and sets it to the panel
// values; false with a message on stderr.
bool loadUnit(UnitHost* unit);

// What a benchmark's child shows: the unit's editor in the host window, the
// host window with the unit loaded but no editor, or the bare panel (no unit).
enum class Side { Editor, Host, Bare };
// "editor", "host"; anything else is the bare panel.
Side sideNamed(const std::string& name);

struct ShownWindow {
  std::unique_ptr<UnitHost> unit;  // Editor and Host only
  std::unique_ptr<EditorWindow> window;
  double unitLoadMs = 0;
};
// Loads the unit, builds and shows the side's window, then waits until its
// panel has painted; for Host (no panel), or with `exposedOnly`, until the
// window is exposed. False on failure, with the reason printed.
bool showWindow(Side side, ShownWindow* shown, bool exposedOnly = false);

// Waits until the panel's sliders, buttons and text area under `root` have
// painted: the panel is then on screen with its content. Create it before
// the widgets can paint (before returning to the event loop).
class PaintWaiter : public QObject {
 public:
  PaintWaiter();
  ~PaintWaiter() override;
  // Watches what is under `root` now; false if nothing is shown by then.
  bool wait(QWidget* root, int timeoutMs = 10000);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QSet<QObject*> m_painted;
};

// Shows nothing itself: waits until `window`, already shown, is on screen.
bool waitExposed(QWidget* window, int timeoutMs = 10000);

// Runs the event loop for `ms` milliseconds.
void spin(int ms);

}  // namespace bench
