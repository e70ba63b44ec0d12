// Qt's event loop drives the run loop through its descriptor, and an idle
// process is not woken by it.
#include "TestUnit.h"

#include <AudioToolbox/AudioToolbox.h>
#include <GlimmRunLoopDriver.h>

#include <QAbstractEventDispatcher>
#include <QtTest>

using namespace testunit;

namespace {

int gDeliveries = 0;
void countEvent(void*, void*, const AudioUnitEvent*, UInt64, AudioUnitParameterValue) { ++gDeliveries; }

// Runs Qt's loop for `ms`, counting how often the dispatcher woke up.
int idleFor(int ms) {
  int awakes = 0;
  QEventLoop loop;
  auto* dispatcher = QAbstractEventDispatcher::instance();
  auto c = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++awakes; });
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  QObject::disconnect(c);
  return awakes;
}

}  // namespace

class TestQtDriver : public QObject {
  Q_OBJECT

 private slots:
  void drivesDeliveryAndStaysAsleepWhenIdle() {
    GlimmRunLoopDriver driver;
    AudioUnit unit = newInstance();
    AUEventListenerRef l = nullptr;
    QCOMPARE(AUEventListenerCreate(countEvent, nullptr, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, 0.05f, 0.05f, &l),
             OSStatus(noErr));
    for (AudioUnitParameterID id = 0; id < kParamCount; ++id) {
      AudioUnitEvent e{};
      e.mEventType = kAudioUnitEvent_ParameterValueChange;
      e.mArgument.mParameter = parameter(unit, id);
      AUEventListenerAddEventType(l, nullptr, &e);
    }
    AudioUnitEvent prop{};
    prop.mEventType = kAudioUnitEvent_PropertyChange;
    prop.mArgument.mProperty = {unit, kValueProperty, kAudioUnitScope_Global, 0};
    AUEventListenerAddEventType(l, nullptr, &prop);

    const UInt64 passes = GlimmCFRunLoopGetPassCount(CFRunLoopGetCurrent());
    idleFor(1000);
    QCOMPARE(driver.activations(), quint64(0));
    QCOMPARE(GlimmCFRunLoopGetPassCount(CFRunLoopGetCurrent()), passes);

    // The same set-up delivers as soon as something happens.
    const AudioUnitParameter p = parameter(unit, 2);
    AUParameterSet(nullptr, nullptr, &p, 9, 0);
    setValueProperty(unit, 4);
    QTRY_COMPARE(gDeliveries, 2);
    QVERIFY(driver.activations() >= 1);

    // Work for a mode Qt never runs wakes the driver once, then it sleeps again.
    static int unwatched = 0;
    GlimmCFRunLoopPerform(
        CFRunLoopGetCurrent(), CFSTR("Unwatched"), [](void*) { ++unwatched; }, nullptr);
    QTRY_VERIFY(driver.activations() >= 2);
    const quint64 after = driver.activations();
    idleFor(300);
    QCOMPARE(driver.activations(), after);
    QCOMPARE(unwatched, 0);
    CFRunLoopRunInMode(CFSTR("Unwatched"), 0, false);
    QCOMPARE(unwatched, 1);

    AUListenerDispose(l);
    AudioComponentInstanceDispose(unit);
  }
};

QTEST_GUILESS_MAIN(TestQtDriver)
#include "tst_platform_qtdriver.moc"
