// Foundation stand-in: reference-counted objects, autorelease pools, strings,
// geometry, assertion handling and the class registry. Objective-C methods are
// C++ member functions named after the selector's first part; `new X` stands
// for `[[X alloc] init]` and gives an object its first reference.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <exception>
#include <string>

typedef signed char BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)
typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef double CGFloat;

class NSString;

class NSObject {
 public:
  NSObject();
  NSObject(const NSObject&) = delete;
  NSObject& operator=(const NSObject&) = delete;

  NSObject* retain();
  // At zero references the object receives dealloc.
  void release();
  // Releases the object when the innermost autorelease pool of this thread drains.
  NSObject* autorelease();
  NSUInteger retainCount() const;

  // Autoreleased, as on the Mac.
  virtual NSString* description();

 protected:
  // Overrides free their own resources and end with their base's dealloc;
  // NSObject's frees the object.
  virtual void dealloc();
  virtual ~NSObject();

 private:
  std::atomic<NSUInteger> m_retainCount{1};
};

// Pools nest per thread; objects autoreleased while no pool exists go to one
// that is drained when the thread ends, rather than leaking.
class NSAutoreleasePool : public NSObject {
 public:
  NSAutoreleasePool();
  // Releases every object added since this pool was made (inner pools not
  // drained yet are drained first), then the pool itself.
  void drain();

  static void addObject(NSObject* object);

 protected:
  void dealloc() override;

 private:
  friend struct GlimmAutoreleaseStack;
  NSAutoreleasePool* m_outer = nullptr;
  size_t m_mark = 0;
  bool m_drained = false;
};

class NSString : public NSObject {
 public:
  explicit NSString(const char* utf8 = "");
  // Autoreleased copies.
  static NSString* stringWithUTF8String(const char* utf8);
  static NSString* stringWithCFString(CFStringRef s);

  const char* UTF8String() const { return m_text.c_str(); }
  NSUInteger length() const;  // UTF-16 units, as on the Mac
  BOOL isEqualToString(const NSString* other) const;
  NSString* description() override { return this; }

 private:
  std::string m_text;
};

struct NSPoint {
  CGFloat x, y;
};
struct NSSize {
  CGFloat width, height;
};
struct NSRect {
  NSPoint origin;
  NSSize size;
};

inline NSPoint NSMakePoint(CGFloat x, CGFloat y) { return NSPoint{x, y}; }
inline NSSize NSMakeSize(CGFloat w, CGFloat h) { return NSSize{w, h}; }
inline NSRect NSMakeRect(CGFloat x, CGFloat y, CGFloat w, CGFloat h) { return NSRect{{x, y}, {w, h}}; }
inline BOOL NSEqualRects(NSRect a, NSRect b) {
  return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.size.width == b.size.width &&
         a.size.height == b.size.height;
}
inline BOOL NSEqualSizes(NSSize a, NSSize b) { return a.width == b.width && a.height == b.height; }
extern const NSRect NSZeroRect;

// What the default assertion handler raises: a C++ exception carrying the description.
class NSInternalInconsistencyException : public std::exception {
 public:
  explicit NSInternalInconsistencyException(std::string description) : m_description(std::move(description)) {}
  const char* what() const noexcept override { return m_description.c_str(); }
  const std::string& description() const { return m_description; }

 private:
  std::string m_description;
};

// One current handler per thread, as on the Mac.
class NSAssertionHandler : public NSObject {
 public:
  static NSAssertionHandler* currentHandler();
  // Not in Apple's API: installs `handler` (retained) for this thread; null
  // brings the default back.
  static void setCurrentHandler(NSAssertionHandler* handler);

  // The default writes the failure to stderr and throws
  // NSInternalInconsistencyException with the description.
  virtual void handleFailureInMethod(const char* selector, NSObject* object, const char* fileName, NSInteger line,
                                     const char* description);
};

// ---- Class registry ------------------------------------------------------------
// A module registers the classes a host may look up by name and unregisters
// them before it is unloaded. A Class stays a valid handle after that, but
// makes no more instances, so no call reaches code that is gone.

typedef NSObject* (*GlimmClassCreateFunction)();
typedef const struct GlimmClass* Class;

// Null when the name is empty or already registered.
Class GlimmClassRegister(const char* name, GlimmClassCreateFunction create);
void GlimmClassUnregister(Class cls);
const char* GlimmClassGetName(Class cls);
// A new instance with one reference (alloc + init), or null for an
// unregistered class.
NSObject* GlimmClassCreateInstance(Class cls);

Class NSClassFromString(const char* name);
Class NSClassFromString(NSString* name);
