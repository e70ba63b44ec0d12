#include "QMacNativeWidget.h"

#include <QHash>
#include <QPointer>
#include <QWindow>

namespace {

class NativeView final : public NSView {
 public:
  explicit NativeView(QWidget* widget) : m_widget(widget) {}

  NSRect frame() const override {
    if (!m_widget) return NSView::frame();
    // pos(), not geometry(): for a top-level widget that is where move() put
    // it, whatever frame the platform draws around it.
    const QPoint p = m_widget->pos();
    return NSMakeRect(p.x(), p.y(), m_widget->width(), m_widget->height());
  }
  void setFrame(NSRect f) override {
    NSView::setFrame(f);
    if (!m_widget) return;
    m_widget->move(int(f.origin.x), int(f.origin.y));
    m_widget->resize(int(f.size.width), int(f.size.height));
  }

  NSWindow* window() const override;

  BOOL acceptsFirstResponder() override { return m_widget ? YES : NO; }
  BOOL becomeFirstResponder() override {
    if (!m_widget) return NO;
    m_widget->setFocus(Qt::OtherFocusReason);
    if (QWindow* w = m_widget->window()->windowHandle()) w->requestActivate();
    return YES;
  }
  BOOL isOpaque() override { return YES; }

  void widgetGone() { m_widget = nullptr; }
  QWidget* widget() const { return m_widget; }

 private:
  QPointer<QWidget> m_widget;
};

// Window id -> view. Main thread only, like every widget. Never destroyed, so
// views of widgets alive at exit stay reachable.
QHash<uintptr_t, NativeView*>& views() {
  static auto* h = new QHash<uintptr_t, NativeView*>();
  return *h;
}

NSWindow* NativeView::window() const {
  if (NSWindow* w = NSView::window()) return w;
  if (!m_widget) return nullptr;
  // A child widget's view is not in any view tree: its window is that of the
  // nearest native ancestor whose view is.
  // Matched by widget, not by window id: a host that moves the widget into
  // its own window may give it a new id.
  for (QWidget* p = m_widget->parentWidget(); p; p = p->parentWidget()) {
    if (!p->internalWinId()) continue;
    for (NativeView* v : std::as_const(views()))
      if (v->m_widget == p)
        if (NSWindow* w = v->NSView::window()) return w;
  }
  return nullptr;
}

}  // namespace

NSView* GlimmNativeViewForWinId(uintptr_t wid) {
  if (!wid) return nullptr;
  auto it = views().constFind(wid);
  if (it != views().constEnd()) return it.value();
  QWidget* widget = QWidget::find(WId(wid));
  if (!widget) return nullptr;
  auto* view = new NativeView(widget);
  views().insert(wid, view);
  QObject::connect(widget, &QObject::destroyed, [wid] {
    NativeView* v = views().take(wid);
    if (!v) return;
    v->widgetGone();
    v->removeFromSuperview();
    v->release();
  });
  return view;
}

QMacNativeWidget::QMacNativeWidget(NSView* parentView) : QWidget(nullptr), m_parentView(parentView) {
  if (m_parentView) m_parentView->retain();
  setAttribute(Qt::WA_NativeWindow);
}

QMacNativeWidget::~QMacNativeWidget() {
  if (m_parentView) m_parentView->release();
}

QSize QMacNativeWidget::sizeHint() const { return QSize(200, 200); }

void QMacNativeWidget::setVisible(bool visible) {
  // A mapped top-level window is the window manager's to frame and place,
  // whenever it gets round to it: one that handles the map request after the
  // host has reparented the window takes it back into a frame of its own, or
  // leaves it moved by the frame's offset, so the panel is drawn away from
  // where Qt puts its input. On a Mac the container only ever shows inside
  // its parent view; here it stays off the screen until it has a parent.
  const bool adopted = !isWindow() || (windowHandle() && windowHandle()->parent());
  if (adopted == !testAttribute(Qt::WA_DontShowOnScreen)) return QWidget::setVisible(visible);
  // Shown off the screen and adopted since: show it again, this time for real.
  if (isVisible()) QWidget::setVisible(false);
  setAttribute(Qt::WA_DontShowOnScreen, !adopted);
  QWidget::setVisible(visible);
}

QWidget* GlimmWidgetForNativeView(NSView* view) {
  auto* native = dynamic_cast<NativeView*>(view);
  return native ? native->widget() : nullptr;
}
