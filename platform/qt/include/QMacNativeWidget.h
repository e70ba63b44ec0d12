// The native container: a Qt widget made on a parent NSView. A widget's
// native view is an NSView standing for the window id winId() gives; a host
// shows it by reparenting that window into its own.
#pragma once

#include <AppKit/AppKit.h>

#include <QWidget>

#include <cstdint>

class QMacNativeWidget : public QWidget {
  Q_OBJECT

 public:
  explicit QMacNativeWidget(NSView* parentView = nullptr);
  ~QMacNativeWidget() override;

  NSView* parentView() const { return m_parentView; }
  QSize sizeHint() const override;
  // Shown while still a window of its own, the container is not put on the
  // screen: only once a host has given it a parent (a widget, or a window
  // through windowHandle()) does its native window appear there.
  void setVisible(bool visible) override;

 private:
  NSView* m_parentView = nullptr;  // retained
};

// The NSView of the Qt widget whose window id is `wid`, made on first request
// and kept until the widget goes; null when no widget has that id. Its frame
// is the widget's geometry. Made first responder of an NSWindow, it gives the
// widget keyboard focus. Its window is that of its own view tree or else that
// of the nearest native Qt ancestor whose view sits in a window.
NSView* GlimmNativeViewForWinId(uintptr_t wid);

// The Qt widget behind a native view, for a host that shows the view by
// putting that widget into its own window; null for any other view or once
// the widget is gone.
QWidget* GlimmWidgetForNativeView(NSView* view);
