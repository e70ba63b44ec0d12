// The run loop: one per thread, work queued per mode, and one descriptor a
// foreign event loop can watch.
//
// The descriptor is a single timerfd armed with an absolute CLOCK_MONOTONIC
// deadline: the earliest due item the loop has not yet announced. Queuing
// immediate work arms it with "now", which has already passed, so it becomes
// readable at once; a delayed item arms it for its due time. That gives one
// descriptor and one syscall per wake-up, where an eventfd plus a timerfd
// would need an epoll set around them. Once a pass has seen an item due, the
// item no longer arms the timer, so work queued for a mode the watcher does
// not run cannot make the descriptor fire again and again.
#include "cf_internal.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

const CFStringRef kCFRunLoopDefaultMode = __CFStringMakeConstantString("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = __CFStringMakeConstantString("kCFRunLoopCommonModes");

namespace glimm::cf {

namespace {

std::string modeName(CFStringRef mode) {
  const char* p = CFStringGetCStringPtr(mode, kCFStringEncodingUTF8);
  return p ? p : "";
}

const std::string kCommon = "kCFRunLoopCommonModes";

struct Item {
  std::string mode;
  std::function<void()> work;
  bool announced = false;  // a pass already saw it due, so it no longer arms the timer
};

struct RunLoop final : Object {
  RunLoop() : Object(Kind::RunLoop) {
    fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) std::perror("timerfd_create");
  }
  ~RunLoop() override {
    if (fd >= 0) close(fd);
  }

  // Due time in ns, then queue order: work queued for the same moment runs in order.
  using Key = std::pair<int64_t, uint64_t>;

  std::mutex mutex;
  std::map<Key, Item> items;
  std::unordered_map<std::string, int> sources;
  uint64_t nextSeq = 0;
  int64_t armedFor = -1;  // -1: disarmed
  bool stopRequested = false;
  std::vector<std::string> modeStack;  // modes of the (nested) runs in progress
  std::atomic<uint64_t> passes{0};
  int fd = -1;

  static bool matches(const std::string& itemMode, const std::string& runMode) {
    return itemMode == runMode || itemMode == kCommon;
  }

  // Caller holds the mutex.
  void arm(int64_t dueNs) {
    if (fd < 0) return;
    if (armedFor >= 0 && armedFor <= dueNs) return;
    // On a logical clock the kernel cannot tell when work falls due: the
    // descriptor fires for work due now, and the clock's owner runs the rest.
    if (gLogicalClock.load(std::memory_order_relaxed) && dueNs > monotonicNs()) return;
    itimerspec its{};
    // Zero would disarm; any deadline in the past fires at once.
    const int64_t when = dueNs > 0 ? dueNs : 1;
    its.it_value.tv_sec = when / 1000000000;
    its.it_value.tv_nsec = when % 1000000000;
    timerfd_settime(fd, TFD_TIMER_ABSTIME, &its, nullptr);
    armedFor = dueNs;
  }

  // Caller holds the mutex. Clears the descriptor and arms it for the earliest
  // item not announced yet.
  void rearm() {
    if (fd < 0) return;
    uint64_t expirations;
    while (read(fd, &expirations, sizeof expirations) > 0) {
    }
    itimerspec off{};
    timerfd_settime(fd, TFD_TIMER_ABSTIME, &off, nullptr);
    armedFor = -1;
    for (auto& [key, item] : items) {
      if (!item.announced) {
        arm(key.first);
        break;  // the map is ordered by due time
      }
    }
  }

  // Caller holds the mutex. Everything due by `now` has been seen by whoever
  // watches the descriptor; clear it and arm it for what comes later.
  void acknowledge(int64_t now) {
    for (auto& [key, item] : items)
      if (key.first <= now) item.announced = true;
    rearm();
  }

  bool hasWorkFor(const std::string& mode) const {
    for (const auto& [key, item] : items)
      if (matches(item.mode, mode)) return true;
    for (const auto& [m, n] : sources)
      if (n > 0 && matches(m, mode)) return true;
    return false;
  }

  int64_t earliestFor(const std::string& mode) const {
    for (const auto& [key, item] : items)
      if (matches(item.mode, mode)) return key.first;
    return -1;
  }
};

RunLoop* asLoop(CFRunLoopRef rl) {
  Object* o = object(rl);
  return o && o->kind == Kind::RunLoop ? static_cast<RunLoop*>(o) : nullptr;
}

CFRunLoopRef ref(RunLoop* l) { return reinterpret_cast<CFRunLoopRef>(static_cast<Object*>(l)); }

// The thread's loop lives while the thread does, or longer when a listener
// or a caller still holds a reference.
struct ThreadLoop {
  RunLoop* loop = nullptr;
  ~ThreadLoop() {
    if (loop) CFRelease(ref(loop));
  }
};
thread_local ThreadLoop tThreadLoop;

RunLoop* gMainLoop = nullptr;

RunLoop* currentLoop() {
  if (!tThreadLoop.loop) tThreadLoop.loop = new RunLoop();
  return tThreadLoop.loop;
}

// The main run loop is the one of the thread that loads this library: the
// process's main thread when a program links it, or the thread that dlopens
// the first module using it. Deciding at load time keeps CFRunLoopGetMain
// stable whichever thread asks first.
__attribute__((constructor)) void createMainLoop() {
  gMainLoop = currentLoop();
  CFRetain(ref(gMainLoop));  // held for the process
}

enum class Pass { None, Handled, Stopped };

// Runs the items of `mode` that are due now and were queued before the pass
// began; work they queue waits for the next pass, so a callback that re-queues
// itself cannot starve the caller.
Pass runPass(RunLoop* l, const std::string& mode, bool returnAfterSourceHandled) {
  std::unique_lock<std::mutex> lock(l->mutex);
  const int64_t now = monotonicNs();
  const uint64_t seqLimit = l->nextSeq;
  l->acknowledge(now);
  bool handled = false;
  for (;;) {
    if (l->stopRequested) {
      l->stopRequested = false;
      return Pass::Stopped;
    }
    auto it = l->items.begin();
    for (; it != l->items.end() && it->first.first <= now; ++it)
      if (it->first.second < seqLimit && RunLoop::matches(it->second.mode, mode)) break;
    if (it == l->items.end() || it->first.first > now) break;
    std::function<void()> work = std::move(it->second.work);
    l->items.erase(it);
    l->passes.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    try {
      work();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "run loop: uncaught exception in queued work: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "run loop: uncaught exception in queued work\n");
    }
    work = nullptr;  // destroy captured state before retaking the lock
    lock.lock();
    handled = true;
    if (returnAfterSourceHandled) break;
  }
  if (l->stopRequested) {
    l->stopRequested = false;
    return Pass::Stopped;
  }
  return handled ? Pass::Handled : Pass::None;
}

}  // namespace

namespace runloop {

void schedule(CFRunLoopRef rl, CFStringRef mode, int64_t dueNs, std::function<void()> work) {
  RunLoop* l = asLoop(rl);
  if (!l || !work) return;
  const int64_t due = dueNs > 0 ? dueNs : monotonicNs();
  std::lock_guard<std::mutex> lock(l->mutex);
  l->items.emplace(RunLoop::Key{due, l->nextSeq++}, Item{modeName(mode), std::move(work), false});
  l->arm(due);
}

void addSource(CFRunLoopRef rl, CFStringRef mode) {
  RunLoop* l = asLoop(rl);
  if (!l) return;
  std::lock_guard<std::mutex> lock(l->mutex);
  ++l->sources[modeName(mode)];
}

void removeSource(CFRunLoopRef rl, CFStringRef mode) {
  RunLoop* l = asLoop(rl);
  if (!l) return;
  std::lock_guard<std::mutex> lock(l->mutex);
  auto it = l->sources.find(modeName(mode));
  if (it != l->sources.end() && --it->second <= 0) l->sources.erase(it);
}

uint64_t passCount(CFRunLoopRef rl) {
  RunLoop* l = asLoop(rl);
  return l ? l->passes.load(std::memory_order_relaxed) : 0;
}

}  // namespace runloop

}  // namespace glimm::cf

using namespace glimm::cf;

extern "C" {

CFRunLoopRef CFRunLoopGetCurrent(void) { return ref(currentLoop()); }

CFRunLoopRef CFRunLoopGetMain(void) { return ref(gMainLoop); }

SInt32 CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
  RunLoop* l = currentLoop();
  const std::string m = modeName(mode);
  if (m.empty()) return kCFRunLoopRunFinished;
  // NaN and negative waits mean "one pass"; huge ones are capped rather than overflowing.
  const double wait = std::isfinite(seconds) ? seconds : (seconds > 0 ? 1e9 : 0.0);
  const int64_t start = monotonicNs();
  const int64_t deadline = wait > 0 ? start + int64_t(std::min(wait, 1e9) * 1e9) : start;

  {
    std::lock_guard<std::mutex> lock(l->mutex);
    // A stop sent while the loop was not running ends the next run at once.
    if (l->stopRequested) {
      l->stopRequested = false;
      return kCFRunLoopRunStopped;
    }
    l->modeStack.push_back(m);
  }
  struct PopMode {
    RunLoop* l;
    ~PopMode() {
      std::lock_guard<std::mutex> lock(l->mutex);
      l->modeStack.pop_back();
    }
  } popMode{l};

  for (;;) {
    {
      std::lock_guard<std::mutex> lock(l->mutex);
      if (l->stopRequested) {
        l->stopRequested = false;
        return kCFRunLoopRunStopped;
      }
      if (!l->hasWorkFor(m)) {
        // Clear the descriptor even so, or a watcher would be woken for ever
        // by work of a mode it never runs.
        l->acknowledge(monotonicNs());
        return kCFRunLoopRunFinished;
      }
    }
    const Pass p = runPass(l, m, returnAfterSourceHandled);
    if (p == Pass::Stopped) return kCFRunLoopRunStopped;
    if (p == Pass::Handled && returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
    const int64_t now = monotonicNs();
    if (now >= deadline) return kCFRunLoopRunTimedOut;

    // Sleep on the descriptor until work is queued, a timer of any mode falls
    // due, or the time is up. The earliest item of our own mode bounds the
    // wait too, since an item announced earlier no longer arms the descriptor.
    int64_t wakeAt = deadline;
    {
      std::lock_guard<std::mutex> lock(l->mutex);
      const int64_t own = l->earliestFor(m);
      if (own >= 0 && own < wakeAt) wakeAt = own;
    }
    if (wakeAt > now && l->fd >= 0) {
      const int64_t d = wakeAt - now;
      timespec ts{time_t(d / 1000000000), long(d % 1000000000)};
      pollfd pfd{l->fd, POLLIN, 0};
      while (ppoll(&pfd, 1, &ts, nullptr) < 0 && errno == EINTR) {
      }
    }
  }
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
  RunLoop* l = asLoop(rl);
  if (!l) return;
  std::lock_guard<std::mutex> lock(l->mutex);
  l->armedFor = -1;
  l->arm(monotonicNs());
}

void CFRunLoopStop(CFRunLoopRef rl) {
  RunLoop* l = asLoop(rl);
  if (!l) return;
  std::lock_guard<std::mutex> lock(l->mutex);
  l->stopRequested = true;
  l->armedFor = -1;
  l->arm(monotonicNs());
}

CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl) {
  RunLoop* l = asLoop(rl);
  if (!l) return nullptr;
  std::lock_guard<std::mutex> lock(l->mutex);
  if (l->modeStack.empty()) return nullptr;
  return CFStringCreateWithCString(nullptr, l->modeStack.back().c_str(), kCFStringEncodingUTF8);
}

CFTimeInterval CFAbsoluteTimeGetCurrent(void) { return double(monotonicNs()) / 1e9; }

void GlimmCFRunLoopPerform(CFRunLoopRef rl, CFStringRef mode, void (*fn)(void*), void* context) {
  if (!fn) return;
  runloop::schedule(rl, mode, 0, [fn, context] { fn(context); });
}

int GlimmCFRunLoopGetFileDescriptor(CFRunLoopRef rl) {
  RunLoop* l = asLoop(rl);
  return l ? l->fd : -1;
}

UInt64 GlimmCFRunLoopGetPassCount(CFRunLoopRef rl) { return runloop::passCount(rl); }

void GlimmCFSetLogicalClock(SInt64 (*now)(void)) {
  gLogicalClock.store(reinterpret_cast<int64_t (*)()>(now), std::memory_order_release);
}

SInt64 GlimmCFRunLoopGetNextDue(CFRunLoopRef rl, CFStringRef mode) {
  RunLoop* l = asLoop(rl);
  if (!l) return -1;
  const std::string m = modeName(mode);
  std::lock_guard<std::mutex> lock(l->mutex);
  return l->earliestFor(m);
}

}  // extern "C"
