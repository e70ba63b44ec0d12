#include "runloopidle.h"

#include <CoreFoundation/CoreFoundation.h>

#include <QCoreApplication>
#include <QEvent>

#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

namespace torture {
namespace {

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

// Seconds until the loop's earliest queued work, 0 when some is due now, or
// negative when nothing is queued. Asked of the loop itself: the descriptor's
// timer reads as disarmed once it has expired, so a delivery falling due
// between a look at the descriptor and a look at the timer was taken for
// none at all, and a run preempted there declared rest with a value change
// still queued. GLIMM_TORTURE_PREEMPT_US stands in for that preemption.
double untilNextWork(CFRunLoopRef loop) {
  const SInt64 due = GlimmCFRunLoopGetNextDue(loop, kCFRunLoopDefaultMode);
  if (due < 0) return -1;
  if (const char* us = std::getenv("GLIMM_TORTURE_PREEMPT_US")) usleep(useconds_t(std::atoi(us)));
  return std::max(0.0, double(due) / 1e9 - CFAbsoluteTimeGetCurrent());
}

}  // namespace

SInt64 (*logicalClock)() = nullptr;
void (*advanceLogicalClock)(SInt64) = nullptr;

void runTurn() {
  processQt();
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  processQt();
}

// On the logical clock nothing falls due by waiting: the clock jumps to the
// next due work instead, so the same run sees the same deliveries.
static bool runUntilIdleLogical(double maxSeconds) {
  CFRunLoopRef loop = CFRunLoopGetCurrent();
  const SInt64 deadline = logicalClock() + SInt64(maxSeconds * 1e9);
  for (long turns = 0; turns < 100000; ++turns) {
    runTurn();
    const SInt64 due = GlimmCFRunLoopGetNextDue(loop, kCFRunLoopDefaultMode);
    if (due < 0) return true;
    if (due > deadline) return false;
    if (due > logicalClock()) advanceLogicalClock(due);
  }
  return false;  // work due now that never runs
}

bool runUntilIdle(double maxSeconds) {
  if (logicalClock) return runUntilIdleLogical(maxSeconds);
  CFRunLoopRef loop = CFRunLoopGetCurrent();
  const int fd = GlimmCFRunLoopGetFileDescriptor(loop);
  const double deadline = CFAbsoluteTimeGetCurrent() + maxSeconds;
  for (;;) {
    runTurn();
    if (fd < 0) return true;
    const double wait = untilNextWork(loop);
    if (wait < 0) return true;
    if (CFAbsoluteTimeGetCurrent() > deadline) return false;
    if (wait > 0) readable(fd, int(std::ceil(wait * 1000)));
  }
}

}  // namespace torture
