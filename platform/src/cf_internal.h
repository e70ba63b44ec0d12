// Shared internals of the CoreFoundation stand-in.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <functional>
#include <string>

namespace glimm::cf {

enum class Kind : uint32_t { String = 0x53545247, Url = 0x55524c20, RunLoop = 0x524c4f4f };

// Every CF object starts with this header. Constant objects ignore retain and
// release so that CFSTR values can be shared freely across threads and modules.
struct Object {
  explicit Object(Kind k, bool constant = false) : kind(k), isConstant(constant) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  const Kind kind;
  const bool isConstant;
  std::atomic<long> refs{1};
};

// Object behind a CF reference; null for null.
Object* object(CFTypeRef cf);

// Nanoseconds on the monotonic clock, or on a test's logical clock.
int64_t monotonicNs();
extern std::atomic<int64_t (*)()> gLogicalClock;

// Run-loop internals used by the listener machinery.
namespace runloop {
// Queues `work` to run on `rl` in `mode` no earlier than `dueNs` (0: as soon as
// possible). `work` is destroyed with the loop if it never runs.
void schedule(CFRunLoopRef rl, CFStringRef mode, int64_t dueNs, std::function<void()> work);
// Sources keep CFRunLoopRunInMode from returning kCFRunLoopRunFinished.
void addSource(CFRunLoopRef rl, CFStringRef mode);
void removeSource(CFRunLoopRef rl, CFStringRef mode);
// How many times work was run on the loop; lets tests and benches show that
// an idle loop does nothing.
uint64_t passCount(CFRunLoopRef rl);
}  // namespace runloop

}  // namespace glimm::cf
