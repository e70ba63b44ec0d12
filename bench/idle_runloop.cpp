// Idle cost of driving the run loop from Qt: runs Qt's event loop with nothing
// happening, first bare (the baseline), then with the driver and a listener
// holding registrations, and prints the wake-ups of each. The driver's own
// activations must stay at zero.
//   idle_runloop [seconds]   (default 5)
#include <AudioToolbox/AudioToolbox.h>
#include <GlimmRunLoopDriver.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

void ignoreEvent(void*, void*, const AudioUnitEvent*, UInt64, AudioUnitParameterValue) {}

long idleWakeups(int ms) {
  long awakes = 0;
  QEventLoop loop;
  auto c = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] { ++awakes; });
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  QObject::disconnect(c);
  return awakes;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const int ms = seconds > 0 ? int(seconds * 1000) : 5000;

  const long baseline = idleWakeups(ms);

  GlimmRunLoopDriver driver;
  AUEventListenerRef listener = nullptr;
  AUEventListenerCreate(ignoreEvent, nullptr, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, 0.05f, 0.05f, &listener);
  static int object;
  for (AudioUnitParameterID id = 0; id < 5; ++id) {
    AudioUnitEvent e{};
    e.mEventType = kAudioUnitEvent_ParameterValueChange;
    e.mArgument.mParameter = {nullptr, id, kAudioUnitScope_Global, 0};
    AUEventListenerAddEventType(listener, &object, &e);
  }
  const UInt64 passes = GlimmCFRunLoopGetPassCount(CFRunLoopGetCurrent());
  const long driven = idleWakeups(ms);
  const UInt64 ranWork = GlimmCFRunLoopGetPassCount(CFRunLoopGetCurrent()) - passes;
  AUListenerDispose(listener);

  std::printf("idle %.1f s: Qt wake-ups bare %ld, with run-loop driver %ld (ratio %.2f)\n", ms / 1000.0, baseline,
              driven, baseline > 0 ? double(driven) / double(baseline) : double(driven + 1));
  std::printf("driver activations %llu, run-loop work items %llu, per second %.3f\n",
              static_cast<unsigned long long>(driver.activations()), static_cast<unsigned long long>(ranWork),
              double(driver.activations()) / (ms / 1000.0));
  return driver.activations() == 0 && ranWork == 0 ? 0 : 1;
}
