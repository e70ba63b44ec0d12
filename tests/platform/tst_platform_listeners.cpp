// Parameter and event listeners: who gets what, when, and on which loop.
#include "TestUnit.h"

#include <AudioToolbox/AudioToolbox.h>

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace testunit;

namespace {

struct Delivery {
  void* object;
  AudioUnitEventType type;
  UInt32 id;  // parameter or property id
  float value;
  std::thread::id thread;
};

struct Sink {
  std::vector<Delivery> got;
  AUEventListenerRef listener = nullptr;
  std::function<void(Sink&)> onEvent;
};

void eventProc(void* refCon, void* object, const AudioUnitEvent* e, UInt64, AudioUnitParameterValue value) {
  auto* sink = static_cast<Sink*>(refCon);
  const UInt32 id = e->mEventType == kAudioUnitEvent_PropertyChange ? e->mArgument.mProperty.mPropertyID
                                                                    : e->mArgument.mParameter.mParameterID;
  sink->got.push_back({object, e->mEventType, id, value, std::this_thread::get_id()});
  if (sink->onEvent) sink->onEvent(*sink);
}

void parameterProc(void* refCon, void* object, const AudioUnitParameter* p, AudioUnitParameterValue value) {
  static_cast<Sink*>(refCon)->got.push_back(
      {object, kAudioUnitEvent_ParameterValueChange, p->mParameterID, value, std::this_thread::get_id()});
}

AUEventListenerRef makeListener(Sink& sink, float interval = 0.05f, CFStringRef mode = kCFRunLoopDefaultMode) {
  AUEventListenerRef l = nullptr;
  if (AUEventListenerCreate(eventProc, &sink, CFRunLoopGetCurrent(), mode, interval, interval, &l) != noErr)
    return nullptr;
  sink.listener = l;
  return l;
}

AudioUnitEvent valueEvent(AudioUnit u, AudioUnitParameterID id,
                          AudioUnitEventType type = kAudioUnitEvent_ParameterValueChange) {
  AudioUnitEvent e{};
  e.mEventType = type;
  e.mArgument.mParameter = parameter(u, id);
  return e;
}

AudioUnitEvent propertyEvent(AudioUnit u, AudioUnitPropertyID id) {
  AudioUnitEvent e{};
  e.mEventType = kAudioUnitEvent_PropertyChange;
  e.mArgument.mProperty = {u, id, kAudioUnitScope_Global, 0};
  return e;
}

void runOnce(CFStringRef mode = kCFRunLoopDefaultMode) { CFRunLoopRunInMode(mode, 0, false); }

// Runs the loop until `n` deliveries arrived or a generous limit passed.
void runUntil(const Sink& s, size_t n) {
  for (int i = 0; i < 200 && s.got.size() < n; ++i) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
}

int objA, objB;

}  // namespace

class TestListeners : public QObject {
  Q_OBJECT

  AudioUnit unit = nullptr;

  // A listener for parameter 1's value changes made for `object`.
  AUEventListenerRef listenToValues(Sink& sink, float interval, void* object) {
    AUEventListenerRef l = makeListener(sink, interval);
    const AudioUnitEvent e = valueEvent(unit, 1);
    AUEventListenerAddEventType(l, object, &e);
    return l;
  }

 private slots:
  void init() { unit = newInstance(); }
  void cleanup() {
    AudioComponentInstanceDispose(unit);
    // Nothing may linger from one case into the next.
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  }

  void setReachesEveryRegistrationButTheSender() {
    Sink s1, s2;
    AUEventListenerRef l1 = makeListener(s1), l2 = makeListener(s2);
    const AudioUnitEvent e = valueEvent(unit, 0);
    QCOMPARE(AUEventListenerAddEventType(l1, &objA, &e), OSStatus(noErr));
    QCOMPARE(AUEventListenerAddEventType(l1, &objB, &e), OSStatus(noErr));
    QCOMPARE(AUEventListenerAddEventType(l2, &objA, &e), OSStatus(noErr));
    const AudioUnitParameter p = parameter(unit, 0);

    QCOMPARE(AUParameterSet(l1, &objA, &p, 3, 0), OSStatus(noErr));
    runOnce();
    QCOMPARE(s1.got.size(), size_t(1));
    QCOMPARE(s1.got[0].object, static_cast<void*>(&objB));
    QCOMPARE(s1.got[0].value, 3.f);
    QCOMPARE(s2.got.size(), size_t(1));  // same object, other listener
    QCOMPARE(s2.got[0].object, static_cast<void*>(&objA));

    // No sender: everyone hears it. A sender object with no listener excludes nobody.
    s1.got.clear();
    s2.got.clear();
    QCOMPARE(AUParameterSet(nullptr, &objA, &p, 4, 0), OSStatus(noErr));
    runUntil(s1, 2);
    runUntil(s2, 1);
    QCOMPARE(s1.got.size(), size_t(2));
    QCOMPARE(s2.got.size(), size_t(1));
    QCOMPARE(s2.got[0].value, 4.f);

    // A failed set notifies nobody and reports the unit's error.
    s1.got.clear();
    s2.got.clear();
    const AudioUnitParameter bad = parameter(unit, 99);
    QCOMPARE(AUParameterSet(nullptr, nullptr, &bad, 1, 0), OSStatus(kAudioUnitErr_InvalidParameter));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    QVERIFY(s1.got.empty() && s2.got.empty());
    AUListenerDispose(l1);
    AUListenerDispose(l2);
  }

  void valueChangesCoalesceToTheLatest() {
    Sink s;
    AUEventListenerRef l = listenToValues(s, 1.0f, &objA);
    const AudioUnitParameter p = parameter(unit, 1);
    for (int i = 1; i <= 100; ++i) AUParameterSet(nullptr, nullptr, &p, float(i), 0);
    runOnce();
    QCOMPARE(s.got.size(), size_t(1));
    QCOMPARE(s.got[0].value, 100.f);

    // Within the interval nothing more goes out; at its end, the latest value.
    AUParameterSet(nullptr, nullptr, &p, 101, 0);
    AUParameterSet(nullptr, nullptr, &p, 102, 0);
    runOnce();
    QCOMPARE(s.got.size(), size_t(1));
    runUntil(s, 2);
    QCOMPARE(s.got.size(), size_t(2));
    QCOMPARE(s.got[1].value, 102.f);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
    QCOMPARE(s.got.size(), size_t(2));

    // Notify reads the value the unit holds.
    AudioUnitSetParameter(unit, 1, kAudioUnitScope_Global, 0, 7, 0);
    QCOMPARE(AUParameterListenerNotify(nullptr, nullptr, &p), OSStatus(noErr));
    runUntil(s, 3);
    QCOMPARE(s.got.size(), size_t(3));
    QCOMPARE(s.got[2].value, 7.f);
    AUListenerDispose(l);
  }

  void propertyAndGestureEventsArriveInOrder() {
    Sink s;
    AUEventListenerRef l = makeListener(s);
    const AudioUnitEvent value = propertyEvent(unit, kValueProperty);
    const AudioUnitEvent other = propertyEvent(unit, kOtherProperty);
    const AudioUnitEvent begin = valueEvent(unit, 2, kAudioUnitEvent_BeginParameterChangeGesture);
    const AudioUnitEvent end = valueEvent(unit, 2, kAudioUnitEvent_EndParameterChangeGesture);
    for (const auto* e : {&value, &other, &begin, &end})
      QCOMPARE(AUEventListenerAddEventType(l, &objA, e), OSStatus(noErr));
    QCOMPARE(gLastOpened->listeners.size(), size_t(2));  // one per watched property

    setValueProperty(unit, 1);
    AUEventListenerNotify(nullptr, nullptr, &begin);
    setValueProperty(unit, 2, kOtherProperty);
    setValueProperty(unit, 3);
    AUEventListenerNotify(nullptr, nullptr, &end);
    QVERIFY(s.got.empty());  // nothing before the loop runs
    runOnce();
    QCOMPARE(s.got.size(), size_t(5));
    const std::vector<std::pair<AudioUnitEventType, UInt32>> expected{{kAudioUnitEvent_PropertyChange, kValueProperty},
                                                                      {kAudioUnitEvent_BeginParameterChangeGesture, 2},
                                                                      {kAudioUnitEvent_PropertyChange, kOtherProperty},
                                                                      {kAudioUnitEvent_PropertyChange, kValueProperty},
                                                                      {kAudioUnitEvent_EndParameterChangeGesture, 2}};
    for (size_t i = 0; i < expected.size(); ++i) {
      QCOMPARE(s.got[i].type, expected[i].first);
      QCOMPARE(s.got[i].id, expected[i].second);
    }

    // Removing the type removes the unit's listener as well.
    QCOMPARE(AUEventListenerRemoveEventType(l, &objA, &other), OSStatus(noErr));
    QCOMPARE(gLastOpened->listeners.size(), size_t(1));
    setValueProperty(unit, 4, kOtherProperty);
    runOnce();
    QCOMPARE(s.got.size(), size_t(5));
    AUListenerDispose(l);
    QVERIFY(gLastOpened->listeners.empty());
  }

  void deliveryKeepsToItsModeAndItsLoop() {
    CFStringRef privateMode = CFSTR("GlimmPrivateMode");
    Sink def, priv;
    AUEventListenerRef ld = makeListener(def);
    AUEventListenerRef lp = makeListener(priv, 0.05f, privateMode);
    const AudioUnitEvent e = propertyEvent(unit, kValueProperty);
    AUEventListenerAddEventType(ld, &objA, &e);
    AUEventListenerAddEventType(lp, &objA, &e);
    setValueProperty(unit, 1);
    runOnce(CFSTR("SomeOtherMode"));
    QVERIFY(def.got.empty() && priv.got.empty());
    runOnce(privateMode);
    QVERIFY(def.got.empty());
    QCOMPARE(priv.got.size(), size_t(1));
    runOnce();
    QCOMPARE(def.got.size(), size_t(1));
    QCOMPARE(priv.got.size(), size_t(1));
    AUListenerDispose(ld);
    AUListenerDispose(lp);

    // A listener made on another thread hears only on that thread's loop.
    Sink far;
    std::atomic<int> stage{0};
    std::thread t([&] {
      AUEventListenerRef lf = makeListener(far);
      AUEventListenerAddEventType(lf, &objB, &e);
      stage = 1;
      while (stage != 2) std::this_thread::yield();
      for (int i = 0; i < 200 && far.got.empty(); ++i) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
      AUListenerDispose(lf);
    });
    while (stage != 1) std::this_thread::yield();
    setValueProperty(unit, 2);  // notified from this thread
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    const bool deliveredHere = !far.got.empty();
    stage = 2;
    t.join();
    QVERIFY(!deliveredHere);
    QCOMPARE(far.got.size(), size_t(1));
    QVERIFY(far.got[0].thread != std::this_thread::get_id());
  }

  void disposedListenersHearNothingMore() {
    Sink s;
    AUEventListenerRef l = makeListener(s);
    const AudioUnitEvent e = propertyEvent(unit, kValueProperty);
    AUEventListenerAddEventType(l, &objA, &e);
    setValueProperty(unit, 1);
    setValueProperty(unit, 2);
    QCOMPARE(AUListenerDispose(l), OSStatus(noErr));
    QVERIFY(gLastOpened->listeners.empty());
    runOnce();
    QVERIFY(s.got.empty());
    QCOMPARE(AUListenerDispose(l), OSStatus(kAudio_ParamError));
    QCOMPARE(AUEventListenerAddEventType(l, &objA, &e), OSStatus(kAudio_ParamError));

    // A callback that disposes its own listener stops the rest of the queue;
    // one that disposes another listener stops that one's deliveries.
    Sink self, victim;
    AUEventListenerRef ls = makeListener(self);
    AUEventListenerRef lv = makeListener(victim);
    AUEventListenerAddEventType(ls, &objA, &e);
    AUEventListenerAddEventType(lv, &objA, &e);
    self.onEvent = [&](Sink& me) {
      QCOMPARE(AUListenerDispose(me.listener), OSStatus(noErr));
      QCOMPARE(AUListenerDispose(lv), OSStatus(noErr));
    };
    setValueProperty(unit, 3);
    setValueProperty(unit, 4);
    runOnce();
    QCOMPARE(self.got.size(), size_t(1));
    QVERIFY(victim.got.empty());  // queued behind the self-disposal
    runOnce();
    QCOMPARE(self.got.size(), size_t(1));
  }

  void aDisposedUnitDeliversNothing() {
    Sink s;
    AUEventListenerRef l = makeListener(s, 0.f);
    const AudioUnitEvent prop = propertyEvent(unit, kValueProperty);
    const AudioUnitEvent value = valueEvent(unit, 0);
    AUEventListenerAddEventType(l, &objA, &prop);
    AUEventListenerAddEventType(l, &objA, &value);
    setValueProperty(unit, 1);
    const AudioUnitParameter p = parameter(unit, 0);
    AUParameterSet(nullptr, nullptr, &p, 5, 0);
    AudioComponentInstanceDispose(unit);
    runOnce();
    QVERIFY(s.got.empty());
    QCOMPARE(AUParameterSet(nullptr, nullptr, &p, 6, 0), OSStatus(badComponentInstance));
    QCOMPARE(AUParameterListenerNotify(nullptr, nullptr, &p), OSStatus(badComponentInstance));
    runOnce();
    QVERIFY(s.got.empty());
    QCOMPARE(AUListenerDispose(l), OSStatus(noErr));
    unit = newInstance();
  }

  void parameterListenersAndAnyParameter() {
    Sink s;
    AUParameterListenerRef l = nullptr;
    QCOMPARE(AUListenerCreate(parameterProc, &s, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, 0.f, &l),
             OSStatus(noErr));
    AudioUnitParameter any = parameter(unit, kAUParameterListener_AnyParameter);
    QCOMPARE(AUListenerAddParameter(l, &objA, &any), OSStatus(noErr));
    const AudioUnitParameter p0 = parameter(unit, 0), p3 = parameter(unit, 3);
    AUParameterSet(nullptr, nullptr, &p0, 10, 0);
    AUParameterSet(nullptr, nullptr, &p3, 30, 0);
    runOnce();
    QCOMPARE(s.got.size(), size_t(2));
    QCOMPARE(s.got[0].id + s.got[1].id, UInt32(3));  // each with its own id, not "any"
    QCOMPARE(s.got[0].value + s.got[1].value, 40.f);
    QCOMPARE(AUListenerRemoveParameter(l, &objA, &any), OSStatus(noErr));
    AUParameterSet(nullptr, nullptr, &p0, 11, 0);
    runOnce();
    QCOMPARE(s.got.size(), size_t(2));
    AUListenerDispose(l);
  }

  void notificationsFromAnotherThread() {
    Sink s;
    AUEventListenerRef l = listenToValues(s, 0.01f, &objA);
    const AudioUnitParameter p = parameter(unit, 1);
    std::atomic<bool> done{false};
    std::thread t([&] {
      for (int i = 1; i <= 3000; ++i) AUParameterSet(nullptr, nullptr, &p, float(i), 0);
      done = true;
    });
    while (!done) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    t.join();
    for (int i = 0; i < 200 && (s.got.empty() || s.got.back().value != 3000.f); ++i)
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    QVERIFY(!s.got.empty());
    QCOMPARE(s.got.back().value, 3000.f);
    QVERIFY(s.got.size() < 3000);
    for (size_t i = 1; i < s.got.size(); ++i) QVERIFY(s.got[i].value > s.got[i - 1].value);
    AUListenerDispose(l);
  }
};

QTEST_GUILESS_MAIN(TestListeners)
#include "tst_platform_listeners.moc"
