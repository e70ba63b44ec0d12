// AppKit stand-in: responders, views, windows and events, for hosts that
// embed Audio Unit views.
#pragma once

#include <Foundation/Foundation.h>

#include <vector>

class NSWindow;
class NSView;

typedef NSUInteger NSEventType;
enum : NSEventType {
  NSEventTypeLeftMouseDown = 1,
  NSEventTypeLeftMouseUp = 2,
  NSEventTypeRightMouseDown = 3,
  NSEventTypeKeyDown = 10
};

class NSEvent : public NSObject {
 public:
  explicit NSEvent(NSEventType type = NSEventTypeLeftMouseDown, NSPoint locationInWindow = NSPoint{0, 0},
                   NSInteger clickCount = 1);
  // Autoreleased.
  static NSEvent* mouseEventWithType(NSEventType type, NSPoint location, NSInteger clickCount = 1);

  NSEventType type() const { return m_type; }
  NSPoint locationInWindow() const { return m_location; }
  NSInteger clickCount() const { return m_clickCount; }

 private:
  NSEventType m_type;
  NSPoint m_location;
  NSInteger m_clickCount;
};

class NSResponder : public NSObject {
 public:
  virtual NSResponder* nextResponder() const { return nullptr; }
  virtual BOOL acceptsFirstResponder() { return NO; }
  virtual BOOL becomeFirstResponder() { return YES; }
  virtual BOOL resignFirstResponder() { return YES; }
  // Unhandled clicks travel up the responder chain.
  virtual void mouseDown(NSEvent* event);
};

typedef NSInteger NSWindowOrderingMode;
enum : NSWindowOrderingMode { NSWindowBelow = -1, NSWindowOut = 0, NSWindowAbove = 1 };

class NSView : public NSResponder {
 public:
  NSView();
  explicit NSView(NSRect frame);

  virtual NSRect frame() const { return m_frame; }
  virtual void setFrame(NSRect frame) { m_frame = frame; }
  NSRect bounds() const { return NSRect{{0, 0}, frame().size}; }

  // Subviews, back to front; each is retained while it is one.
  const std::vector<NSView*>& subviews() const { return m_subviews; }
  NSView* superview() const { return m_superview; }
  void addSubview(NSView* view);
  // Above or below `otherView` (a subview), or above or below all subviews when it is null.
  void addSubview(NSView* view, NSWindowOrderingMode place, NSView* otherView);
  void removeFromSuperview();
  BOOL isDescendantOf(const NSView* view) const;

  // The window of the view tree this view sits in, or null.
  virtual NSWindow* window() const;
  NSResponder* nextResponder() const override;
  virtual BOOL isOpaque() { return NO; }

 protected:
  void dealloc() override;

 private:
  friend class NSWindow;
  NSWindow* treeWindow() const;
  NSRect m_frame{{0, 0}, {0, 0}};
  NSView* m_superview = nullptr;
  std::vector<NSView*> m_subviews;
  NSWindow* m_window = nullptr;  // set on a window's content view only
};

class NSWindow : public NSResponder {
 public:
  // Starts with an empty content view.
  NSWindow();

  NSView* contentView() const { return m_contentView; }
  void setContentView(NSView* view);

  NSResponder* firstResponder() const { return m_firstResponder ? m_firstResponder : const_cast<NSWindow*>(this); }
  // The current first responder is asked to resign, then `responder` is asked
  // whether it accepts and whether it becomes first responder. Returns NO,
  // with the window as first responder, when it refuses; NO without any
  // change for a view of another window or when the current one won't resign.
  // Null makes the window itself first responder.
  BOOL makeFirstResponder(NSResponder* responder);

 protected:
  void dealloc() override;

 private:
  friend class NSView;
  // A view leaving the window must not stay first responder.
  void viewLeaving(NSView* view);
  void setFirstResponder(NSResponder* responder);

  NSView* m_contentView = nullptr;
  // Retained, unlike on the Mac, so a responder that goes away can never
  // leave a dangling pointer here. Null means the window itself.
  NSResponder* m_firstResponder = nullptr;
};
