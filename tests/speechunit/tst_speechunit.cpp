// The speech unit as a host sees it: loaded from its module, driven through
// the Audio Unit calls, its output rendered to memory and measured.
#include "SpeechUnitHarness.h"

#include <algorithm>
#include <QtTest>

#include <cmath>
#include <dlfcn.h>

using namespace harness;

namespace {

struct EventLog {
  std::vector<AudioUnitEvent> events;
  std::vector<float> values;
};

void onEvent(void* ref, void*, const AudioUnitEvent* e, UInt64, AudioUnitParameterValue v) {
  auto* log = static_cast<EventLog*>(ref);
  log->events.push_back(*e);
  log->values.push_back(v);
}

int gPropertyCalls = 0;
void onProperty(void*, AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement) { ++gPropertyCalls; }

float param(AudioUnit u, AudioUnitParameterID id) {
  AudioUnitParameterValue v = -1;
  AudioUnitGetParameter(u, id, kAudioUnitScope_Global, 0, &v);
  return v;
}

double f0Of(AudioUnit u, const std::string& text) { return analysis::medianF0(speak(u, text), 48000); }

}  // namespace

class TestSpeechUnit : public QObject {
  Q_OBJECT
  void* m_module = nullptr;
  AudioUnit m_unit = nullptr;

 private slots:
  void initTestCase() {
    m_module = dlopen(GLIMM_SPEECH_UNIT_PATH, RTLD_NOW | RTLD_LOCAL);
    QVERIFY2(m_module, dlerror());
    m_unit = newUnit();
    QVERIFY(m_unit);
  }

  void init() {
    AudioUnitReset(m_unit, kAudioUnitScope_Global, 0);
    const float defaults[] = {128, 100, 128, 128, 0};
    for (UInt32 i = 0; i < 5; ++i) setParam(m_unit, i, defaults[i]);
  }

  void cleanupTestCase() {
    if (m_unit) AudioComponentInstanceDispose(m_unit);
  }

  void describesItself() {
    UInt32 size = 0;
    Boolean writable = true;
    QCOMPARE(
        AudioUnitGetPropertyInfo(m_unit, kAudioUnitProperty_ParameterList, kAudioUnitScope_Global, 0, &size, &writable),
        OSStatus(noErr));
    QCOMPARE(size, UInt32(5 * sizeof(AudioUnitParameterID)));
    const char* names[] = {"pitch", "speed", "mouth", "throat", "sing mode"};
    const float ranges[][2] = {{0, 255}, {20, 200}, {0, 255}, {0, 255}, {0, 1}};
    for (UInt32 i = 0; i < 5; ++i) {
      AudioUnitParameterInfo info;
      size = sizeof info;
      QCOMPARE(AudioUnitGetProperty(m_unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global, i, &info, &size),
               OSStatus(noErr));
      QCOMPARE(QString(info.name), QString(names[i]));
      QCOMPARE(info.minValue, ranges[i][0]);
      QCOMPARE(info.maxValue, ranges[i][1]);
      QVERIFY(info.defaultValue >= info.minValue && info.defaultValue <= info.maxValue);
    }

    AudioUnitCocoaViewInfo view;
    size = sizeof view;
    QCOMPARE(AudioUnitGetPropertyInfo(m_unit, kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global, 0, &size, nullptr),
             OSStatus(noErr));
    QCOMPARE(size, UInt32(sizeof view));
    QCOMPARE(AudioUnitGetProperty(m_unit, kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global, 0, &view, &size),
             OSStatus(noErr));
    UInt8 path[4096];
    QVERIFY(CFURLGetFileSystemRepresentation(view.mCocoaAUViewBundleLocation, true, path, sizeof path));
    const QString bundle = QString::fromUtf8(reinterpret_cast<char*>(path));
    QCOMPARE(QFileInfo(bundle).fileName(), QString("AUGlimm3CocoaUI.so"));
    QCOMPARE(QFileInfo(bundle).absolutePath(), QFileInfo(GLIMM_SPEECH_UNIT_PATH).canonicalPath());
    char cls[64] = {};
    QVERIFY(CFStringGetCString(view.mCocoaAUViewClass[0], cls, sizeof cls, kCFStringEncodingUTF8));
    QCOMPARE(QString(cls), QString("AUGlimm3_ViewFactory"));
    CFRelease(view.mCocoaAUViewBundleLocation);
    CFRelease(view.mCocoaAUViewClass[0]);

    // Formats it cannot render are refused.
    AudioStreamBasicDescription f;
    size = sizeof f;
    QCOMPARE(AudioUnitGetProperty(m_unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &f, &size),
             OSStatus(noErr));
    QCOMPARE(f.mSampleRate, 48000.0);
    AudioUnit fresh = nullptr;
    const AudioComponentDescription d = speechDescription();
    QCOMPARE(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &d), &fresh), OSStatus(noErr));
    f.mChannelsPerFrame = 3;
    QCOMPARE(AudioUnitSetProperty(fresh, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &f, sizeof f),
             OSStatus(kAudioUnitErr_FormatNotSupported));
    f.mChannelsPerFrame = 1;
    f.mSampleRate = NAN;
    QCOMPARE(AudioUnitSetProperty(fresh, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &f, sizeof f),
             OSStatus(kAudioUnitErr_FormatNotSupported));
    // Nothing to render before initialisation.
    std::vector<float> l, r;
    OSStatus status = noErr;
    renderBlock(fresh, l, r, 256, &status);
    QCOMPARE(status, OSStatus(kAudioUnitErr_Uninitialized));
    AudioComponentInstanceDispose(fresh);
  }

  void parametersClampRefuseAndAnnounce() {
    AUEventListenerRef listener = nullptr;
    EventLog log;
    QCOMPARE(AUEventListenerCreate(onEvent, &log, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, 0.0f, 0.0f, &listener),
             OSStatus(noErr));
    for (UInt32 i = 0; i < 5; ++i) {
      AudioUnitEvent e;
      e.mEventType = kAudioUnitEvent_ParameterValueChange;
      e.mArgument.mParameter = {m_unit, i, kAudioUnitScope_Global, 0};
      AUEventListenerAddEventType(listener, nullptr, &e);
    }

    // Host automation through AudioUnitSetParameter reaches the listener.
    setParam(m_unit, kGlimmParam_Pitch, 200);
    QVERIFY(runUntil([&] { return !log.values.empty(); }));
    QCOMPARE(log.values.back(), 200.0f);

    // Overshooting values are clamped; NaN and infinity are refused.
    setParam(m_unit, kGlimmParam_Speed, 1000);
    QCOMPARE(param(m_unit, kGlimmParam_Speed), 200.0f);
    setParam(m_unit, kGlimmParam_Mouth, -5);
    QCOMPARE(param(m_unit, kGlimmParam_Mouth), 0.0f);
    QCOMPARE(AudioUnitSetParameter(m_unit, kGlimmParam_Throat, kAudioUnitScope_Global, 0, NAN, 0),
             OSStatus(kAudioUnitErr_InvalidParameterValue));
    QCOMPARE(AudioUnitSetParameter(m_unit, kGlimmParam_Throat, kAudioUnitScope_Global, 0, INFINITY, 0),
             OSStatus(kAudioUnitErr_InvalidParameterValue));
    QCOMPARE(param(m_unit, kGlimmParam_Throat), 128.0f);
    QCOMPARE(AudioUnitSetParameter(m_unit, 5, kAudioUnitScope_Global, 0, 1, 0),
             OSStatus(kAudioUnitErr_InvalidParameter));
    QCOMPARE(AudioUnitSetParameter(m_unit, 0, kAudioUnitScope_Input, 0, 1, 0), OSStatus(kAudioUnitErr_InvalidScope));

    // An unchanged value is not announced.
    runUntil([] { return false; });
    log.values.clear();
    setParam(m_unit, kGlimmParam_Pitch, 200);
    runUntil([] { return false; });
    QCOMPARE(log.values.size(), size_t(0));

    // A change made on the render thread is still announced, from elsewhere.
    std::thread audio([&] {
      std::vector<float> l, r;
      renderBlock(m_unit, l, r, 256);
      setParam(m_unit, kGlimmParam_Pitch, 77);
    });
    audio.join();
    QVERIFY(runUntil([&] { return !log.values.empty(); }));
    QCOMPARE(log.values.back(), 77.0f);
    AUListenerDispose(listener);
  }

  void textProperty() {
    QVERIFY(AudioUnitAddPropertyListener(m_unit, kGlimmProperty_Text, onProperty, nullptr) == noErr);
    gPropertyCalls = 0;
    char buf[600];
    std::memset(buf, 'q', sizeof buf);
    for (UInt32 bad : {0u, 8u, 511u, 513u})
      QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buf, bad),
               OSStatus(kAudioUnitErr_InvalidPropertyValue));
    QCOMPARE(gPropertyCalls, 0);

    // No NUL in all 512 bytes: the text stops at 511 bytes.
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buf, 512), OSStatus(noErr));
    char out[512];
    UInt32 size = sizeof out;
    QCOMPARE(AudioUnitGetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, out, &size), OSStatus(noErr));
    QCOMPARE(size, UInt32(512));
    QCOMPARE(strnlen(out, sizeof out), size_t(511));

    // Bytes after the NUL carry nothing; a repeated set is announced again.
    std::memcpy(buf, "hi\0garbage", 10);
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buf, 512), OSStatus(noErr));
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buf, 512), OSStatus(noErr));
    QCOMPARE(gPropertyCalls, 3);
    QCOMPARE(AudioUnitGetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, out, &size), OSStatus(noErr));
    QCOMPARE(QByteArray(out, 512), QByteArray("hi").leftJustified(512, '\0'));
    AudioUnitRemovePropertyListenerWithUserData(m_unit, kGlimmProperty_Text, onProperty, nullptr);

    // Play takes exactly eight bytes.
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Play, kAudioUnitScope_Global, 0, buf, 4),
             OSStatus(kAudioUnitErr_InvalidPropertyValue));
  }

  void silenceThenSpeech() {
    setText(m_unit, "Hello there, how are you?");
    std::vector<float> l, r;
    for (int i = 0; i < 20; ++i) {
      QVERIFY(!renderBlock(m_unit, l, r, 256));
      QCOMPARE(analysis::peak(l), 0.0);
    }
    play(m_unit);
    const auto out = renderUtterance(m_unit);
    const double secs = analysis::activeSeconds(out, 48000);
    QVERIFY2(secs > 0.8 && secs < 4, qPrintable(QString::number(secs)));
    QVERIFY(analysis::peak(out) > 0.1 && analysis::peak(out) <= 1.0);

    // Both channels carry the same voice.
    play(m_unit);
    while (!renderBlock(m_unit, l, r, 256)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    QCOMPARE(l, r);
  }

  void voiceParametersShapeTheSound() {
    const std::string vowel = "ah, a long vowel, ah";
    setParam(m_unit, kGlimmParam_Pitch, 30);
    const double low = f0Of(m_unit, vowel);
    setParam(m_unit, kGlimmParam_Pitch, 230);
    const double high = f0Of(m_unit, vowel);
    QVERIFY2(low > 40 && high > low * 1.4, qPrintable(QString("F0 %1 -> %2").arg(low).arg(high)));
    setParam(m_unit, kGlimmParam_Pitch, 128);

    const std::string words = "one two three four five six seven";
    setParam(m_unit, kGlimmParam_Speed, 40);
    const double slow = analysis::activeSeconds(speak(m_unit, words), 48000);
    setParam(m_unit, kGlimmParam_Speed, 180);
    const double fast = analysis::activeSeconds(speak(m_unit, words), 48000);
    QVERIFY2(fast > 0.3 && slow > fast * 1.8, qPrintable(QString("%1 s -> %2 s").arg(slow).arg(fast)));
    setParam(m_unit, kGlimmParam_Speed, 100);

    // Throat and mouth scale the formants: a higher value, a brighter voice.
    // Mouth moves the upper formants only, so it is measured above 2 kHz.
    const std::string sentence = "she sells sea shells by the sea shore";
    auto centroid = [&](AudioUnitParameterID id, float v, double lo) {
      setParam(m_unit, id, v);
      const double c = analysis::spectralCentroid(speak(m_unit, sentence), 48000, lo);
      setParam(m_unit, id, 128);
      return c;
    };
    const double throatLow = centroid(kGlimmParam_Throat, 40, 0), throatHigh = centroid(kGlimmParam_Throat, 250, 0);
    QVERIFY2(throatHigh > throatLow * 1.3, qPrintable(QString("%1 %2").arg(throatLow).arg(throatHigh)));
    const double mouthLow = centroid(kGlimmParam_Mouth, 40, 2000), mouthHigh = centroid(kGlimmParam_Mouth, 250, 2000);
    QVERIFY2(mouthHigh > mouthLow * 1.3, qPrintable(QString("%1 %2").arg(mouthLow).arg(mouthHigh)));
    // Even the extremes give a voice, not clipped noise.
    for (AudioUnitParameterID id : {kGlimmParam_Throat, kGlimmParam_Mouth}) {
      for (float v : {0.0f, 255.0f}) {
        setParam(m_unit, id, v);
        const auto out = speak(m_unit, sentence);
        QVERIFY(analysis::peak(out) > 0.1 && analysis::peak(out) < 1.0);
        QVERIFY(analysis::medianF0(out, 48000) > 60);
      }
      setParam(m_unit, id, 128);
    }
  }

  void singsMidiNotes() {
    setText(m_unit, "la la la la");
    // Outside sing mode a note-on does nothing.
    QCOMPARE(MusicDeviceMIDIEvent(m_unit, 0x90, 60, 100, 0), OSStatus(noErr));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<float> l, r;
    QVERIFY(!renderBlock(m_unit, l, r, 256));

    setParam(m_unit, kGlimmParam_SingMode, 1);
    for (int note : {48, 60, 72}) {
      QCOMPARE(MusicDeviceMIDIEvent(m_unit, 0x90, UInt32(note), 100, 0), OSStatus(noErr));
      const double f0 = analysis::medianF0(renderUtterance(m_unit), 48000);
      const double ref = 440.0 * std::pow(2.0, (note - 69) / 12.0);
      QVERIFY2(std::fabs(analysis::cents(f0, ref)) <= 25,
               qPrintable(QString("note %1: %2 Hz, want %3").arg(note).arg(f0).arg(ref)));
      QCOMPARE(param(m_unit, kGlimmParam_Pitch), float(note * 2));
    }
    // Play in sing mode holds the pitch parameter's note.
    setParam(m_unit, kGlimmParam_Pitch, 114);  // note 57, A3
    play(m_unit);
    const double f0 = analysis::medianF0(renderUtterance(m_unit), 48000);
    QVERIFY2(std::fabs(analysis::cents(f0, 220.0)) <= 25, qPrintable(QString::number(f0)));
  }

  void secondPlayRestarts() {
    const std::string text = "This sentence is long enough to be cut off in the middle by a second request.";
    const double full = analysis::activeSeconds(speak(m_unit, text), 48000);
    play(m_unit);
    std::vector<float> l, r;
    int got = 0;
    while (got < 100)  // about half a second in
      if (renderBlock(m_unit, l, r, 256)) ++got;
    play(m_unit);
    const double rest = analysis::activeSeconds(renderUtterance(m_unit), 48000);
    // A reference cut short (the collection stops after a pause in arriving
    // audio, which a stalled machine can cause) would fail a sound restart:
    // take the longer of two.
    const double full2 = analysis::activeSeconds(speak(m_unit, text), 48000);
    const double ref = std::max(full, full2);
    // The restart speaks the whole text again, nothing of the first run is left.
    QVERIFY2(std::fabs(rest - ref) < 0.25 * ref, qPrintable(QString("%1 vs %2 and %3").arg(rest).arg(full).arg(full2)));

    // Reset silences the unit.
    play(m_unit);
    while (!renderBlock(m_unit, l, r, 256)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    AudioUnitReset(m_unit, kAudioUnitScope_Global, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QVERIFY(!renderBlock(m_unit, l, r, 256));
  }

  void twoUnitsAlternate() {
    AudioUnit other = newUnit();
    QVERIFY(other);
    setParam(other, kGlimmParam_Pitch, 240);
    setParam(m_unit, kGlimmParam_Pitch, 20);
    setText(m_unit, "ah, a long vowel, ah");
    setText(other, "ah, a long vowel, ah");
    std::vector<float> a, b, l, r;
    for (int round = 0; round < 3; ++round) {
      play(m_unit);
      play(other);
      a.clear();
      b.clear();
      // Interleaved like two tracks of one host.
      for (int i = 0; i < 4000 && (a.size() < 48000 * 1.5 || b.size() < 48000 * 1.5); ++i) {
        if (renderBlock(m_unit, l, r, 256)) a.insert(a.end(), l.begin(), l.end());
        if (renderBlock(other, l, r, 256)) b.insert(b.end(), l.begin(), l.end());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      const double fa = analysis::medianF0(a, 48000), fb = analysis::medianF0(b, 48000);
      QVERIFY2(fa > 40 && fb > fa * 1.5, qPrintable(QString("%1 %2").arg(fa).arg(fb)));
    }
    AudioComponentInstanceDispose(other);
  }

  void badInputIsHarmless() {
    const std::string probe = "ah, a long vowel, ah";
    const auto before = speak(m_unit, probe);
    // Embedded engine commands (raise pitch, slow down) work neither in the
    // text that holds them nor in later utterances.
    const auto embedded = speak(m_unit,
                                "\x01"
                                "99P \x01"
                                "1S " +
                                    probe);
    const auto after = speak(m_unit, probe);
    const double f0Before = analysis::medianF0(before, 48000);
    for (const auto* out : {&embedded, &after}) {
      const double f0 = analysis::medianF0(*out, 48000);
      QVERIFY2(std::fabs(analysis::cents(f0, f0Before)) < 400, qPrintable(QString("%1 %2").arg(f0Before).arg(f0)));
    }
    const double tBefore = analysis::activeSeconds(before, 48000), tAfter = analysis::activeSeconds(after, 48000);
    QVERIFY2(std::fabs(tAfter - tBefore) < 0.25 * tBefore, qPrintable(QString("%1 %2").arg(tBefore).arg(tAfter)));

    // Code points that corrupt the engine's memory, and broken UTF-8.
    for (const char* text :
         {"\xe1\x87\x9c", "a \xe1\x87\x9c b \xe0\xab\xa4", "\xff\xfe\xc0\x80 broken \xe2\x82", "A_"}) {
      setText(m_unit, text);
      play(m_unit);
      renderUtterance(m_unit, 5);
    }
    QVERIFY(analysis::activeSeconds(speak(m_unit, "still speaking"), 48000) > 0.3);

    // The longest text at the slowest speed: rendering starts at once and stops on reset.
    setParam(m_unit, kGlimmParam_Speed, 20);
    setText(m_unit, std::string(511, 'w'));
    play(m_unit);
    std::vector<float> l, r;
    int blocks = 0;
    for (int i = 0; i < 20000 && blocks < 2000; ++i)
      if (renderBlock(m_unit, l, r, 256))
        ++blocks;
      else
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    QCOMPARE(blocks, 2000);
    AudioUnitReset(m_unit, kAudioUnitScope_Global, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QVERIFY(!renderBlock(m_unit, l, r, 256));
  }

  void unloadUnregisters() {
    AudioComponentInstanceDispose(m_unit);
    m_unit = nullptr;
    const AudioComponentDescription d = speechDescription();
    QVERIFY(AudioComponentFindNext(nullptr, &d));
    QCOMPARE(dlclose(m_module), 0);
    QVERIFY(!AudioComponentFindNext(nullptr, &d));
    // Loading again registers again and speaks again.
    m_module = dlopen(GLIMM_SPEECH_UNIT_PATH, RTLD_NOW | RTLD_LOCAL);
    QVERIFY(m_module);
    m_unit = newUnit();
    QVERIFY(m_unit);
    QVERIFY(analysis::activeSeconds(speak(m_unit, "again"), 48000) > 0.2);
  }
};

QTEST_GUILESS_MAIN(TestSpeechUnit)
#include "tst_speechunit.moc"
