// Objects, autorelease pools, strings, assertion handling, the class registry.
#include <AudioUnit/AUCocoaUIView.h>
#include <Foundation/Foundation.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

const NSRect NSZeroRect = {{0, 0}, {0, 0}};

// ---- NSObject --------------------------------------------------------------

NSObject::NSObject() = default;
NSObject::~NSObject() = default;

NSObject* NSObject::retain() {
  m_retainCount.fetch_add(1, std::memory_order_relaxed);
  return this;
}

void NSObject::release() {
  if (m_retainCount.fetch_sub(1, std::memory_order_acq_rel) == 1) dealloc();
}

NSObject* NSObject::autorelease() {
  NSAutoreleasePool::addObject(this);
  return this;
}

NSUInteger NSObject::retainCount() const { return m_retainCount.load(std::memory_order_relaxed); }

NSString* NSObject::description() {
  char text[64];
  std::snprintf(text, sizeof text, "<NSObject: %p>", static_cast<void*>(this));
  return NSString::stringWithUTF8String(text);
}

void NSObject::dealloc() { delete this; }

// ---- Autorelease pools --------------------------------------------------------

struct GlimmAutoreleaseStack {
  std::vector<NSObject*> objects;
  NSAutoreleasePool* innermost = nullptr;

  // Releases down to `mark`, newest first; objects autoreleased meanwhile go too.
  void releaseDownTo(size_t mark) {
    while (objects.size() > mark) {
      NSObject* o = objects.back();
      objects.pop_back();
      o->release();
    }
  }

  // The thread's implicit outermost pool.
  ~GlimmAutoreleaseStack() { releaseDownTo(0); }
};

namespace {
thread_local GlimmAutoreleaseStack tPools;
}

NSAutoreleasePool::NSAutoreleasePool() {
  m_outer = tPools.innermost;
  m_mark = tPools.objects.size();
  tPools.innermost = this;
}

void NSAutoreleasePool::addObject(NSObject* object) {
  if (object) tPools.objects.push_back(object);
}

void NSAutoreleasePool::drain() {
  bool onStack = false;
  for (NSAutoreleasePool* p = tPools.innermost; p; p = p->m_outer)
    if (p == this) onStack = true;
  if (!onStack || m_drained) return;  // another thread's pool, or drained already
  while (tPools.innermost != this) tPools.innermost->drain();
  tPools.releaseDownTo(m_mark);
  tPools.innermost = m_outer;
  m_drained = true;
  release();
}

void NSAutoreleasePool::dealloc() {
  // A pool released without drain still drains, as on the Mac.
  if (!m_drained) {
    retain();
    drain();
    return;
  }
  NSObject::dealloc();
}

// ---- NSString ---------------------------------------------------------------------

NSString::NSString(const char* utf8) : m_text(utf8 ? utf8 : "") {}

NSString* NSString::stringWithUTF8String(const char* utf8) {
  if (!utf8) return nullptr;
  return static_cast<NSString*>((new NSString(utf8))->autorelease());
}

NSString* NSString::stringWithCFString(CFStringRef s) {
  const char* p = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
  return p ? stringWithUTF8String(p) : nullptr;
}

NSUInteger NSString::length() const {
  CFStringRef s = CFStringCreateWithCString(nullptr, m_text.c_str(), kCFStringEncodingUTF8);
  if (!s) return m_text.size();
  const NSUInteger n = NSUInteger(CFStringGetLength(s));
  CFRelease(s);
  return n;
}

BOOL NSString::isEqualToString(const NSString* other) const { return other && other->m_text == m_text; }

// ---- Assertion handling ---------------------------------------------------------

namespace {

struct HandlerSlot {
  NSAssertionHandler* handler = nullptr;
  ~HandlerSlot() {
    if (handler) handler->release();
  }
};
thread_local HandlerSlot tHandler;

}  // namespace

NSAssertionHandler* NSAssertionHandler::currentHandler() {
  if (!tHandler.handler) tHandler.handler = new NSAssertionHandler();
  return tHandler.handler;
}

void NSAssertionHandler::setCurrentHandler(NSAssertionHandler* handler) {
  if (handler) handler->retain();
  NSAssertionHandler* old = tHandler.handler;
  tHandler.handler = handler;
  if (old) old->release();
}

void NSAssertionHandler::handleFailureInMethod(const char* selector, NSObject*, const char* fileName, NSInteger line,
                                               const char* description) {
  const char* text = description ? description : "";
  std::fprintf(stderr, "*** Assertion failure in %s, %s:%ld\n%s\n", selector ? selector : "?",
               fileName ? fileName : "?", long(line), text);
  throw NSInternalInconsistencyException(text);
}

AUCocoaUIBase::~AUCocoaUIBase() = default;

// ---- Class registry -----------------------------------------------------------------

struct GlimmClass {
  std::string name;
  GlimmClassCreateFunction create;  // null once unregistered
};

namespace {

std::mutex gClassMutex;
// Entries are never freed: a Class a host still holds must stay readable.
std::unordered_map<std::string, GlimmClass*>& classes() {
  static auto* m = new std::unordered_map<std::string, GlimmClass*>();
  return *m;
}

}  // namespace

Class GlimmClassRegister(const char* name, GlimmClassCreateFunction create) {
  if (!name || !*name || !create) return nullptr;
  std::lock_guard<std::mutex> lock(gClassMutex);
  GlimmClass*& entry = classes()[name];
  if (!entry) {
    entry = new GlimmClass{name, create};
    return entry;
  }
  if (entry->create) return nullptr;  // taken
  entry->create = create;             // a module loaded again
  return entry;
}

void GlimmClassUnregister(Class cls) {
  if (!cls) return;
  std::lock_guard<std::mutex> lock(gClassMutex);
  const_cast<GlimmClass*>(cls)->create = nullptr;
}

const char* GlimmClassGetName(Class cls) { return cls ? cls->name.c_str() : nullptr; }

NSObject* GlimmClassCreateInstance(Class cls) {
  if (!cls) return nullptr;
  GlimmClassCreateFunction create;
  {
    std::lock_guard<std::mutex> lock(gClassMutex);
    create = cls->create;
  }
  return create ? create() : nullptr;
}

Class NSClassFromString(const char* name) {
  if (!name) return nullptr;
  std::lock_guard<std::mutex> lock(gClassMutex);
  auto it = classes().find(name);
  return it != classes().end() && it->second->create ? it->second : nullptr;
}

Class NSClassFromString(NSString* name) { return name ? NSClassFromString(name->UTF8String()) : nullptr; }
