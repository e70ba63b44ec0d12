// Responders, views and windows.
#include <AppKit/AppKit.h>

#include <algorithm>

NSEvent::NSEvent(NSEventType type, NSPoint location, NSInteger clickCount)
    : m_type(type), m_location(location), m_clickCount(clickCount) {}

NSEvent* NSEvent::mouseEventWithType(NSEventType type, NSPoint location, NSInteger clickCount) {
  return static_cast<NSEvent*>((new NSEvent(type, location, clickCount))->autorelease());
}

void NSResponder::mouseDown(NSEvent* event) {
  if (NSResponder* next = nextResponder()) next->mouseDown(event);
}

// ---- NSView -------------------------------------------------------------------

NSView::NSView() = default;
NSView::NSView(NSRect frame) : m_frame(frame) {}

void NSView::addSubview(NSView* view) { addSubview(view, NSWindowAbove, nullptr); }

void NSView::addSubview(NSView* view, NSWindowOrderingMode place, NSView* otherView) {
  if (!view || view == this || place == NSWindowOut || isDescendantOf(view)) return;  // no cycles
  view->retain();  // survives leaving its old superview
  view->removeFromSuperview();
  auto anchor = std::find(m_subviews.begin(), m_subviews.end(), otherView);
  if (!otherView || anchor == m_subviews.end()) {
    if (place == NSWindowBelow)
      m_subviews.insert(m_subviews.begin(), view);
    else
      m_subviews.push_back(view);
  } else {
    m_subviews.insert(place == NSWindowBelow ? anchor : anchor + 1, view);
  }
  view->m_superview = this;
}

void NSView::removeFromSuperview() {
  NSView* parent = m_superview;
  if (!parent) return;
  if (NSWindow* w = treeWindow()) w->viewLeaving(this);
  auto& siblings = parent->m_subviews;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  m_superview = nullptr;
  release();
}

BOOL NSView::isDescendantOf(const NSView* view) const {
  for (const NSView* v = this; v; v = v->m_superview)
    if (v == view) return YES;
  return NO;
}

NSWindow* NSView::window() const { return treeWindow(); }

NSWindow* NSView::treeWindow() const {
  for (const NSView* v = this; v; v = v->m_superview)
    if (v->m_window) return v->m_window;
  return nullptr;
}

NSResponder* NSView::nextResponder() const {
  if (m_superview) return m_superview;
  return m_window;
}

void NSView::dealloc() {
  // Only reached with no superview: a superview holds a reference.
  while (!m_subviews.empty()) m_subviews.back()->removeFromSuperview();
  NSResponder::dealloc();
}

// ---- NSWindow -------------------------------------------------------------------

NSWindow::NSWindow() {
  setContentView(new NSView());
  m_contentView->release();
}

void NSWindow::setContentView(NSView* view) {
  if (view == m_contentView) return;
  if (view) {
    view->retain();
    view->removeFromSuperview();
    if (view->m_window) view->m_window->setContentView(nullptr);
  }
  if (NSView* old = m_contentView) {
    viewLeaving(old);
    old->m_window = nullptr;
    m_contentView = nullptr;
    old->release();
  }
  m_contentView = view;
  if (view) view->m_window = this;
}

void NSWindow::viewLeaving(NSView* view) {
  auto* v = dynamic_cast<NSView*>(m_firstResponder);
  if (v && v->isDescendantOf(view)) setFirstResponder(nullptr);
}

void NSWindow::setFirstResponder(NSResponder* responder) {
  if (responder) responder->retain();
  NSResponder* old = m_firstResponder;
  m_firstResponder = responder;
  if (old) old->release();
}

BOOL NSWindow::makeFirstResponder(NSResponder* responder) {
  if (responder == this) responder = nullptr;
  if (responder == m_firstResponder) return YES;
  if (auto* view = dynamic_cast<NSView*>(responder); view && view->window() != this) return NO;
  if (m_firstResponder && !m_firstResponder->resignFirstResponder()) return NO;
  setFirstResponder(nullptr);
  if (!responder) return YES;
  if (!responder->acceptsFirstResponder() || !responder->becomeFirstResponder()) return NO;
  setFirstResponder(responder);
  return YES;
}

void NSWindow::dealloc() {
  setFirstResponder(nullptr);
  setContentView(nullptr);
  NSResponder::dealloc();
}
