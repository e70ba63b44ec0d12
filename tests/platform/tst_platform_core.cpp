// Strings, URLs and the run loop.
#include <CoreFoundation/CoreFoundation.h>

#include "../../platform/src/cf_internal.h"

#include <QtTest>

#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

void append(void* ctx) {
  static_cast<std::vector<int>*>(ctx)->push_back(int(static_cast<std::vector<int>*>(ctx)->size()));
}

struct Tagged {
  std::vector<char>* log;
  char tag;
};
void logTag(void* ctx) {
  auto* t = static_cast<Tagged*>(ctx);
  t->log->push_back(t->tag);
}

// Drops whatever earlier cases left queued on this thread's loop.
void drain() { CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false); }

}  // namespace

class TestCore : public QObject {
  Q_OBJECT

 private slots:
  void constantStringsAreInternedAndImmortal() {
    CFStringRef a = CFSTR("kCFRunLoopDefaultMode");
    QCOMPARE(a, kCFRunLoopDefaultMode);
    QVERIFY(CFSTR("x") != CFSTR("y"));
    const CFIndex before = CFGetRetainCount(a);
    for (int i = 0; i < 5; ++i) CFRelease(a);
    QCOMPARE(CFGetRetainCount(a), before);
    QCOMPARE(QByteArray(CFStringGetCStringPtr(a, kCFStringEncodingUTF8)), QByteArray("kCFRunLoopDefaultMode"));
  }

  void stringEncodings() {
    CFStringRef latin = CFStringCreateWithCString(nullptr, "caf\xe9", kCFStringEncodingISOLatin1);
    QVERIFY(latin);
    char buf[16];
    QVERIFY(CFStringGetCString(latin, buf, sizeof buf, kCFStringEncodingUTF8));
    QCOMPARE(QByteArray(buf), QByteArray("caf\xc3\xa9"));
    QVERIFY(CFStringGetCString(latin, buf, sizeof buf, kCFStringEncodingISOLatin1));
    QCOMPARE(QByteArray(buf), QByteArray("caf\xe9"));
    QVERIFY(!CFStringGetCString(latin, buf, sizeof buf, kCFStringEncodingASCII));
    QVERIFY(!CFStringGetCStringPtr(latin, kCFStringEncodingASCII));
    // The terminator must fit too.
    QVERIFY(!CFStringGetCString(latin, buf, 5, kCFStringEncodingUTF8));
    QVERIFY(CFStringGetCString(latin, buf, 6, kCFStringEncodingUTF8));
    QCOMPARE(CFStringGetLength(latin), CFIndex(4));

    CFStringRef same = CFStringCreateWithCString(nullptr, "caf\xc3\xa9", kCFStringEncodingUTF8);
    QVERIFY(CFEqual(latin, same));
    QCOMPARE(CFGetRetainCount(same), CFIndex(1));
    CFRetain(same);
    QCOMPARE(CFGetRetainCount(same), CFIndex(2));
    CFRelease(same);
    CFRelease(same);
    CFRelease(latin);

    // Text that is not valid in its encoding makes no string.
    QVERIFY(!CFStringCreateWithCString(nullptr, "\xc3", kCFStringEncodingUTF8));
    QVERIFY(!CFStringCreateWithCString(nullptr, "\xc0\xaf", kCFStringEncodingUTF8));
    QVERIFY(!CFStringCreateWithCString(nullptr, "\xe9", kCFStringEncodingASCII));
    QVERIFY(!CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8));

    CFStringRef astral = CFStringCreateWithCString(nullptr, "\xf0\x9f\x98\x80", kCFStringEncodingUTF8);
    QCOMPARE(CFStringGetLength(astral), CFIndex(2));  // UTF-16 units
    CFRelease(astral);
  }

  void urls() {
    CFURLRef u = CFURLCreateWithFileSystemPath(nullptr, CFSTR("/opt/glimm/bundle/"), kCFURLPOSIXPathStyle, true);
    UInt8 buf[64];
    QVERIFY(CFURLGetFileSystemRepresentation(u, true, buf, sizeof buf));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buf)), QByteArray("/opt/glimm/bundle"));
    QVERIFY(!CFURLGetFileSystemRepresentation(u, true, buf, 17));  // no room for the NUL
    CFRelease(u);

    CFURLRef rel =
        CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>("lib/x.so"), 8, false);
    QVERIFY(CFURLGetFileSystemRepresentation(rel, true, buf, sizeof buf));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buf)), (QDir::currentPath() + "/lib/x.so").toUtf8());
    CFRelease(rel);
    QVERIFY(!CFURLCreateWithFileSystemPath(nullptr, CFSTR(""), kCFURLPOSIXPathStyle, false));
  }

  void runLoopPerThread() {
    CFRunLoopRef mine = CFRunLoopGetCurrent();
    QCOMPARE(CFRunLoopGetCurrent(), mine);
    QCOMPARE(CFRunLoopGetMain(), mine);  // the test's main thread loaded the library
    CFRunLoopRef other = nullptr;
    CFRunLoopRef otherMain = nullptr;
    std::thread([&] {
      other = CFRunLoopGetCurrent();
      otherMain = CFRunLoopGetMain();
    }).join();
    QVERIFY(other && other != mine);
    QCOMPARE(otherMain, mine);
  }

  void modesAndOrder() {
    drain();
    std::vector<char> log;
    Tagged a{&log, 'a'}, b{&log, 'b'}, c{&log, 'c'}, x{&log, 'x'};
    CFStringRef custom = CFSTR("GlimmTestMode");
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, logTag, &a);
    GlimmCFRunLoopPerform(rl, custom, logTag, &x);
    GlimmCFRunLoopPerform(rl, kCFRunLoopCommonModes, logTag, &b);
    GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, logTag, &c);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), SInt32(kCFRunLoopRunTimedOut));
    QCOMPARE(QByteArray(log.data(), int(log.size())), QByteArray("abc"));
    QCOMPARE(CFRunLoopRunInMode(custom, 0, false), SInt32(kCFRunLoopRunTimedOut));
    QCOMPARE(QByteArray(log.data(), int(log.size())), QByteArray("abcx"));
    // Nothing queued and no sources: the mode is empty.
    QCOMPARE(CFRunLoopRunInMode(custom, 0, false), SInt32(kCFRunLoopRunFinished));
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, false), SInt32(kCFRunLoopRunFinished));
  }

  void resultCodes() {
    drain();
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    std::vector<int> ran;
    GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, append, &ran);
    GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, append, &ran);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), SInt32(kCFRunLoopRunHandledSource));
    QCOMPARE(ran.size(), size_t(1));
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), SInt32(kCFRunLoopRunHandledSource));
    QCOMPARE(ran.size(), size_t(2));

    // A stop from within a callback ends the run; one sent while idle ends the next.
    GlimmCFRunLoopPerform(
        rl, kCFRunLoopDefaultMode, [](void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }, nullptr);
    GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, append, &ran);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false), SInt32(kCFRunLoopRunStopped));
    QCOMPARE(ran.size(), size_t(2));
    CFRunLoopStop(rl);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false), SInt32(kCFRunLoopRunStopped));
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), SInt32(kCFRunLoopRunTimedOut));
    QCOMPARE(ran.size(), size_t(3));

    // A source keeps an empty mode alive until the time is up.
    glimm::cf::runloop::addSource(rl, kCFRunLoopDefaultMode);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false), SInt32(kCFRunLoopRunTimedOut));
    // Blocking runs wake for work queued from another thread, and for a stop.
    std::thread t([&] { GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, append, &ran); });
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, true), SInt32(kCFRunLoopRunHandledSource));
    t.join();
    QCOMPARE(ran.size(), size_t(4));
    std::thread s([&] { CFRunLoopStop(rl); });
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, false), SInt32(kCFRunLoopRunStopped));
    s.join();
    glimm::cf::runloop::removeSource(rl, kCFRunLoopDefaultMode);
  }

  void currentModeFollowsNestedRuns() {
    drain();
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    QVERIFY(!CFRunLoopCopyCurrentMode(rl));
    static QByteArray outer, inner;
    GlimmCFRunLoopPerform(
        rl, kCFRunLoopDefaultMode,
        [](void*) {
          CFRunLoopRef l = CFRunLoopGetCurrent();
          GlimmCFRunLoopPerform(
              l, CFSTR("Nested"),
              [](void*) {
                CFStringRef m = CFRunLoopCopyCurrentMode(CFRunLoopGetCurrent());
                inner = CFStringGetCStringPtr(m, kCFStringEncodingUTF8);
                CFRelease(m);
              },
              nullptr);
          CFRunLoopRunInMode(CFSTR("Nested"), 0, false);
          CFStringRef m = CFRunLoopCopyCurrentMode(l);
          outer = CFStringGetCStringPtr(m, kCFStringEncodingUTF8);
          CFRelease(m);
        },
        nullptr);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    QCOMPARE(inner, QByteArray("Nested"));
    QCOMPARE(outer, QByteArray("kCFRunLoopDefaultMode"));
    QVERIFY(!CFRunLoopCopyCurrentMode(rl));
  }

  void workQueuedByWorkWaitsForTheNextPass() {
    drain();
    static int runs = 0;
    struct Again {
      static void fn(void*) {
        if (++runs < 3) GlimmCFRunLoopPerform(CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, fn, nullptr);
      }
    };
    GlimmCFRunLoopPerform(CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, Again::fn, nullptr);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), SInt32(kCFRunLoopRunTimedOut));
    QCOMPARE(runs, 1);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), SInt32(kCFRunLoopRunTimedOut));
    QCOMPARE(runs, 2);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), SInt32(kCFRunLoopRunTimedOut));
    QCOMPARE(runs, 3);
    QCOMPARE(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), SInt32(kCFRunLoopRunFinished));
  }

  // The descriptor is what a foreign event loop sleeps on: it must be readable
  // when, and only when, there is something to do.
  void descriptorReadiness() {
    CFRunLoopRef rl = nullptr;
    int fd = -1;
    std::vector<int> ran;
    std::thread t([&] {
      rl = CFRunLoopGetCurrent();
      fd = GlimmCFRunLoopGetFileDescriptor(rl);
      QVERIFY(fd >= 0);
      QVERIFY(!readable(fd));
      GlimmCFRunLoopPerform(rl, kCFRunLoopDefaultMode, append, &ran);
      QVERIFY(readable(fd));
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
      QCOMPARE(ran.size(), size_t(1));
      QVERIFY(!readable(fd));

      // Work for a mode the watcher never runs fires once, not for ever.
      GlimmCFRunLoopPerform(rl, CFSTR("Unwatched"), append, &ran);
      QVERIFY(readable(fd));
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
      QVERIFY(!readable(fd));
      QCOMPARE(ran.size(), size_t(1));

      // A timer far ahead does not make it readable now.
      glimm::cf::runloop::schedule(rl, kCFRunLoopDefaultMode, glimm::cf::monotonicNs() + 3600LL * 1000000000,
                                   [&ran] { ran.push_back(99); });
      QVERIFY(!readable(fd));
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
      QCOMPARE(ran.size(), size_t(1));
      // A due timer does.
      glimm::cf::runloop::schedule(rl, kCFRunLoopDefaultMode, glimm::cf::monotonicNs() - 1,
                                   [&ran] { ran.push_back(7); });
      QVERIFY(readable(fd));
      const UInt64 passes = GlimmCFRunLoopGetPassCount(rl);
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
      QCOMPARE(ran.back(), 7);
      QCOMPARE(GlimmCFRunLoopGetPassCount(rl), passes + 1);
      QVERIFY(!readable(fd));
      // The unwatched mode's work is still there for whoever runs that mode.
      QCOMPARE(CFRunLoopRunInMode(CFSTR("Unwatched"), 0, false), SInt32(kCFRunLoopRunTimedOut));
      QCOMPARE(ran, (std::vector<int>{0, 7, 2}));
    });
    t.join();
  }

  void timersRunWhenDueInABlockingRun() {
    std::thread t([] {
      CFRunLoopRef rl = CFRunLoopGetCurrent();
      std::vector<int> order;
      const int64_t now = glimm::cf::monotonicNs();
      glimm::cf::runloop::schedule(rl, kCFRunLoopDefaultMode, now + 20000000, [&] { order.push_back(2); });
      glimm::cf::runloop::schedule(rl, kCFRunLoopDefaultMode, 0, [&] { order.push_back(1); });
      while (order.size() < 2 && CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, true) == kCFRunLoopRunHandledSource) {
      }
      QCOMPARE(order, (std::vector<int>{1, 2}));
      QVERIFY(glimm::cf::monotonicNs() >= now + 20000000);
    });
    t.join();
  }

  void loopOutlivesItsThreadWhileReferenced() {
    CFRunLoopRef rl = nullptr;
    std::thread([&] { rl = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent()))); }).join();
    static int never = 0;
    // Queuing to a loop whose thread is gone is harmless; the work is dropped with the loop.
    GlimmCFRunLoopPerform(
        rl, kCFRunLoopDefaultMode, [](void*) { ++never; }, nullptr);
    QVERIFY(GlimmCFRunLoopGetFileDescriptor(rl) >= 0);
    CFRelease(rl);
    QCOMPARE(never, 0);
  }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_platform_core.moc"
