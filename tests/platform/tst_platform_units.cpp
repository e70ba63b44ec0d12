// Component registry, instances, and the Audio Unit calls.
#include "TestUnit.h"

#include <QtTest>

#include <atomic>
#include <thread>

using namespace testunit;

namespace {

constexpr OSType fcc(const char (&s)[5]) {
  return OSType(uint8_t(s[0])) << 24 | OSType(uint8_t(s[1])) << 16 | OSType(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}

AudioComponentPlugInInterface* nullFactory(const AudioComponentDescription*) { return nullptr; }

AudioComponentDescription desc(OSType type, OSType sub, OSType manu) { return {type, sub, manu, 0, 0}; }

QByteArray nameOf(AudioComponent c) {
  CFStringRef s = nullptr;
  if (AudioComponentCopyName(c, &s) != noErr || !s) return {};
  QByteArray n(CFStringGetCStringPtr(s, kCFStringEncodingUTF8));
  CFRelease(s);
  return n;
}

}  // namespace

class TestUnits : public QObject {
  Q_OBJECT

 private slots:
  void findNextMatchesZeroFieldsAsWildcards() {
    const auto d1 = desc(fcc("aaaa"), fcc("one "), fcc("mfrA"));
    const auto d2 = desc(fcc("aaaa"), fcc("two "), fcc("mfrB"));
    const auto d3 = desc(fcc("bbbb"), fcc("one "), fcc("mfrA"));
    AudioComponent c1 = AudioComponentRegister(&d1, CFSTR("A one"), 1, nullFactory);
    AudioComponent c2 = AudioComponentRegister(&d2, CFSTR("A two"), 2, nullFactory);
    AudioComponent c3 = AudioComponentRegister(&d3, CFSTR("B one"), 3, nullFactory);

    const auto byType = desc(fcc("aaaa"), 0, 0);
    QCOMPARE(AudioComponentFindNext(nullptr, &byType), c1);
    QCOMPARE(AudioComponentFindNext(c1, &byType), c2);
    QCOMPARE(AudioComponentFindNext(c2, &byType), AudioComponent(nullptr));
    QCOMPARE(AudioComponentCount(&byType), UInt32(2));

    const auto bySubAndMaker = desc(0, fcc("one "), fcc("mfrA"));
    QCOMPARE(AudioComponentFindNext(nullptr, &bySubAndMaker), c1);
    QCOMPARE(AudioComponentFindNext(c1, &bySubAndMaker), c3);
    const auto exact = desc(fcc("bbbb"), fcc("one "), fcc("mfrB"));
    QCOMPARE(AudioComponentFindNext(nullptr, &exact), AudioComponent(nullptr));
    const auto any = desc(0, 0, 0);
    QVERIFY(AudioComponentCount(&any) >= 3);

    QCOMPARE(nameOf(c2), QByteArray("A two"));
    UInt32 version = 0;
    QCOMPARE(AudioComponentGetVersion(c3, &version), OSStatus(noErr));
    QCOMPARE(version, UInt32(3));
    AudioComponentDescription got{};
    QCOMPARE(AudioComponentGetDescription(c2, &got), OSStatus(noErr));
    QCOMPARE(got.componentSubType, OSType(fcc("two ")));

    // A factory that makes nothing gives an error, not a half-made instance.
    AudioComponentInstance inst = reinterpret_cast<AudioComponentInstance>(0x1);
    QVERIFY(AudioComponentInstanceNew(c1, &inst) != noErr);
    QCOMPARE(inst, AudioComponentInstance(nullptr));

    QCOMPARE(GlimmAudioComponentUnregister(c1), OSStatus(noErr));
    QVERIFY(GlimmAudioComponentUnregister(c1) != noErr);
    QCOMPARE(AudioComponentFindNext(nullptr, &byType), c2);
    QCOMPARE(AudioComponentCount(&byType), UInt32(1));
    QCOMPARE(GlimmAudioComponentUnregister(c2), OSStatus(noErr));
    QCOMPARE(GlimmAudioComponentUnregister(c3), OSStatus(noErr));
    QCOMPARE(AudioComponentCount(&bySubAndMaker), UInt32(0));
  }

  void callsDispatchThroughLookupWithTheInterfaceAsSelf() {
    const int opens = gOpens, closes = gCloses;
    AudioUnit u = newInstance();
    QVERIFY(u);
    QCOMPARE(gOpens.load(), opens + 1);
    QCOMPARE(gLastOpened->self, u);  // Open got the handle callers use
    QCOMPARE(AudioComponentInstanceGetComponent(u), component());

    QCOMPARE(AudioUnitSetParameter(u, 2, kAudioUnitScope_Global, 0, 42.5f, 0), OSStatus(noErr));
    QCOMPARE(gLastOpened->params[2], 42.5f);
    AudioUnitParameterValue v = 0;
    QCOMPARE(AudioUnitGetParameter(u, 2, kAudioUnitScope_Global, 0, &v), OSStatus(noErr));
    QCOMPARE(v, 42.5f);
    // The unit's own errors come back unchanged.
    QCOMPARE(AudioUnitSetParameter(u, 9, kAudioUnitScope_Global, 0, 1, 0), OSStatus(kAudioUnitErr_InvalidParameter));
    QCOMPARE(setValueProperty(u, 17), OSStatus(noErr));
    int p = 0;
    UInt32 size = sizeof p;
    QCOMPARE(AudioUnitGetProperty(u, kValueProperty, kAudioUnitScope_Global, 0, &p, &size), OSStatus(noErr));
    QCOMPARE(p, 17);

    // Methods the unit does not provide.
    QCOMPARE(AudioUnitInitialize(u), OSStatus(badComponentSelector));
    AudioUnitRenderActionFlags flags = 0;
    QCOMPARE(AudioUnitRender(u, &flags, nullptr, 0, 64, nullptr), OSStatus(badComponentSelector));
    QCOMPARE(MusicDeviceMIDIEvent(u, 0x90, 60, 100, 0), OSStatus(badComponentSelector));
    QCOMPARE(AudioUnitReset(u, 0, 0), OSStatus(badComponentSelector));

    QCOMPARE(AudioComponentInstanceDispose(u), OSStatus(noErr));
    QCOMPARE(gCloses.load(), closes + 1);
    QCOMPARE(AudioComponentInstanceDispose(u), OSStatus(badComponentInstance));
    QCOMPARE(gCloses.load(), closes + 1);
  }

  void nullAndDisposedInstancesAreRejected() {
    AudioUnit dead = newInstance();
    AudioComponentInstanceDispose(dead);
    // A new instance may take the same slot; the old handle must still be dead.
    AudioUnit fresh = newInstance();
    QVERIFY(fresh != dead);
    const AudioUnit bogus = reinterpret_cast<AudioUnit>(uintptr_t(0xdeadbeef00000001ull));
    for (AudioUnit u : {AudioUnit(nullptr), dead, bogus}) {
      AudioUnitParameterValue v = 0;
      int data = 0;
      UInt32 size = sizeof data;
      Boolean writable = false;
      AudioUnitRenderActionFlags flags = 0;
      QCOMPARE(AudioUnitGetParameter(u, 0, 0, 0, &v), OSStatus(badComponentInstance));
      QCOMPARE(AudioUnitSetParameter(u, 0, 0, 0, 1, 0), OSStatus(badComponentInstance));
      QCOMPARE(AudioUnitGetProperty(u, kValueProperty, 0, 0, &data, &size), OSStatus(badComponentInstance));
      QCOMPARE(AudioUnitSetProperty(u, kValueProperty, 0, 0, &data, size), OSStatus(badComponentInstance));
      QCOMPARE(AudioUnitGetPropertyInfo(u, kValueProperty, 0, 0, &size, &writable), OSStatus(badComponentInstance));
      QCOMPARE(AudioUnitInitialize(u), OSStatus(badComponentInstance));
      QCOMPARE(AudioUnitRender(u, &flags, nullptr, 0, 1, nullptr), OSStatus(badComponentInstance));
      QCOMPARE(MusicDeviceMIDIEvent(u, 0x90, 1, 1, 0), OSStatus(badComponentInstance));
      QCOMPARE(AudioComponentInstanceDispose(u), OSStatus(badComponentInstance));
      QCOMPARE(AudioComponentInstanceGetComponent(u), AudioComponent(nullptr));
    }
    AudioUnitParameterValue v = -1;
    QCOMPARE(AudioUnitGetParameter(fresh, 0, 0, 0, &v), OSStatus(noErr));
    AudioComponentInstanceDispose(fresh);
  }

  void failedOpenLeavesNoInstance() {
    const int closes = gCloses;
    gFailOpen = true;
    AudioUnit u = reinterpret_cast<AudioUnit>(0x1);
    QCOMPARE(AudioComponentInstanceNew(component(), &u), OSStatus(kAudioUnitErr_FailedInitialization));
    gFailOpen = false;
    QCOMPARE(u, AudioUnit(nullptr));
    QCOMPARE(gCloses.load(), closes + 1);  // the plug-in freed itself
  }

  // A unit whose own call leads to its disposal: Close waits until that call
  // has returned, so the unit never runs on freed storage (ASan checks this).
  void disposeFromWithinACallOnTheSameUnit() {
    const int closes = gCloses;
    AudioUnit u = newInstance();
    Unit* unit = gLastOpened;
    unit->onSetProperty = [u] { QCOMPARE(AudioComponentInstanceDispose(u), OSStatus(noErr)); };
    QCOMPARE(setValueProperty(u, 5), OSStatus(noErr));
    QCOMPARE(gCloses.load(), closes + 1);
    QCOMPARE(setValueProperty(u, 6), OSStatus(badComponentInstance));
  }

  void disposeRacingCallsOnAnotherThread() {
    for (int round = 0; round < 20; ++round) {
      AudioUnit u = newInstance();
      std::atomic<bool> go{false};
      std::atomic<int> bad{0};
      std::thread audio([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) {
          AudioUnitParameterValue v;
          const OSStatus s = AudioUnitGetParameter(u, 1, kAudioUnitScope_Global, 0, &v);
          if (s != noErr && s != badComponentInstance) ++bad;
        }
      });
      go = true;
      std::this_thread::yield();
      QCOMPARE(AudioComponentInstanceDispose(u), OSStatus(noErr));
      audio.join();
      QCOMPARE(bad.load(), 0);
      AudioUnitParameterValue v;
      QCOMPARE(AudioUnitGetParameter(u, 1, kAudioUnitScope_Global, 0, &v), OSStatus(badComponentInstance));
    }
  }
};

QTEST_GUILESS_MAIN(TestUnits)
#include "tst_platform_units.moc"
