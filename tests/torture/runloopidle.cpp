#include "runloopidle.h"

#include <CoreFoundation/CoreFoundation.h>

#include <QCoreApplication>
#include <QEvent>

#include <poll.h>
#include <sys/timerfd.h>

#include <cmath>

namespace torture {
namespace {

// Longest a queued value change can be held back: the editor's notification
// interval, with room to spare.
constexpr double kLongestHold = 0.08;

void processQt() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  // Outside a running event loop Qt never gets to these by itself.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

// Seconds until the loop's next scheduled work, 0 when some is due now, or
// negative when nothing is scheduled. The descriptor is armed for the earliest
// work not yet run; if it is not a timer we can ask, the longest hold-back is
// the bound.
double untilNextWork(int fd) {
  if (readable(fd, 0)) return 0;
  itimerspec its{};
  if (timerfd_gettime(fd, &its) != 0) return readable(fd, int(kLongestHold * 1000)) ? 0 : -1;
  if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) return -1;
  return double(its.it_value.tv_sec) + double(its.it_value.tv_nsec) / 1e9;
}

}  // namespace

void runTurn() {
  processQt();
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  processQt();
}

bool runUntilIdle(double maxSeconds) {
  const int fd = GlimmCFRunLoopGetFileDescriptor(CFRunLoopGetCurrent());
  const double deadline = CFAbsoluteTimeGetCurrent() + maxSeconds;
  for (;;) {
    runTurn();
    if (fd < 0) return true;
    const double wait = untilNextWork(fd);
    if (wait < 0) return true;
    if (CFAbsoluteTimeGetCurrent() > deadline) return false;
    if (wait > 0) readable(fd, int(std::ceil(wait * 1000)));
  }
}

}  // namespace torture
