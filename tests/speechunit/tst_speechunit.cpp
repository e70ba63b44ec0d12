// The speech unit as a host sees it: loaded from its module, driven through
// the Audio Unit calls, its output rendered to memory and measured.
#include "ProcessProbe.h"
#include "SpeechUnitHarness.h"

#include <algorithm>
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>
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
    const float defaults[] = {128, 100, 128, 128, 0, 0, 0};
    for (UInt32 i = 0; i < 7; ++i) setParam(m_unit, i, defaults[i]);
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
    QCOMPARE(size, UInt32(7 * sizeof(AudioUnitParameterID)));
    const char* names[] = {"pitch", "speed", "mouth", "throat", "sing mode", "phonetic mode", "filter"};
    const float ranges[][2] = {{0, 255}, {20, 200}, {0, 255}, {0, 255}, {0, 1}, {0, 1}, {0, 1}};
    for (UInt32 i = 0; i < 7; ++i) {
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
    QCOMPARE(AudioUnitSetParameter(m_unit, 7, kAudioUnitScope_Global, 0, 1, 0),
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
    setParam(m_unit, kGlimmParam_SingMode, 1);
    for (int note : {48, 60, 72}) {
      QCOMPARE(MusicDeviceMIDIEvent(m_unit, 0x90, UInt32(note), 100, 0), OSStatus(noErr));
      const double f0 = analysis::medianF0(renderUtterance(m_unit), 48000);
      const double ref = 440.0 * std::pow(2.0, (note - 69) / 12.0);
      QVERIFY2(std::fabs(analysis::cents(f0, ref)) <= 15,
               qPrintable(QString("note %1: %2 Hz, want %3").arg(note).arg(f0).arg(ref)));
      // The slider keeps its own value: it is the note for play requests.
      QCOMPARE(param(m_unit, kGlimmParam_Pitch), 128.0f);
    }
    // The slider's ends are MIDI 36 and 84, and its lowest steps, where
    // whole-Hz F0s lie furthest apart, still each give a higher note.
    double last = 0;
    for (float pitch : {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 255.0f}) {
      setParam(m_unit, kGlimmParam_Pitch, pitch);
      play(m_unit);
      const double f0 = analysis::medianF0(renderUtterance(m_unit), 48000, 50, 1200);
      QVERIFY2(f0 > last, qPrintable(QString("pitch %1: %2 Hz after %3").arg(pitch).arg(f0).arg(last)));
      last = f0;
      if (pitch == 0) QVERIFY(std::fabs(analysis::cents(f0, 65.406)) < 15);
    }
    QVERIFY(std::fabs(analysis::cents(last, 1046.5)) < 15);
    // Play in sing mode holds the pitch parameter's note: 85 is MIDI 52.
    setParam(m_unit, kGlimmParam_Pitch, 85);
    play(m_unit);
    const double f0 = analysis::medianF0(renderUtterance(m_unit), 48000);
    QVERIFY2(std::fabs(analysis::cents(f0, 440.0 * std::pow(2.0, (52 - 69) / 12.0))) <= 15,
             qPrintable(QString::number(f0)));
  }

  // Each key sings the next syllable on its own pitch, wrapping round the text
  // and passing over rests; in speech mode a key speaks the whole text.
  void notesSingTheLyrics() {
    setText(m_unit, "a, seventeen ,");
    setParam(m_unit, kGlimmParam_SingMode, 1);
    const size_t s = 48000;
    const int notes[] = {60, 67, 64};
    const std::vector<MidiAt> events = {{s / 10, 0x90, 60, 127},     {s * 8 / 10, 0x80, 60, 0},
                                        {s, 0x90, 67, 127},          {s * 19 / 10, 0x90, 67, 0},
                                        {s * 21 / 10, 0x91, 64, 90}, {s * 29 / 10, 0x81, 64, 64}};
    const auto out = renderWithMidi(m_unit, 3.1, events);
    double hiss[3];
    for (int i = 0; i < 3; ++i) {
      const std::vector<float> part(out.begin() + long(events[2 * i].frame),
                                    out.begin() + long(events[2 * i + 1].frame));
      const double f0 = analysis::medianF0(part, 48000, 60, 1200);
      const double want = 440.0 * std::pow(2.0, (notes[i] - 69) / 12.0);
      QVERIFY2(std::fabs(analysis::cents(f0, want)) <= 15, qPrintable(QString("note %1: %2 Hz").arg(notes[i]).arg(f0)));
      // Held vowels fill every key: the words differ in how they begin.
      const long onset = analysis::firstSound(part);
      QVERIFY(onset >= 0);
      hiss[i] = analysis::highBandDb(std::vector<float>(part.begin() + onset, part.begin() + onset + long(s) / 10),
                                     48000, 3000);
    }
    // "a", then the first syllable of "seventeen" (its "s"), then the second.
    QVERIFY2(hiss[1] > hiss[0] + 10 && hiss[1] > hiss[2] + 10,
             qPrintable(QString("%1 %2 %3 dB").arg(hiss[0]).arg(hiss[1]).arg(hiss[2])));
    // A new text starts the lyrics again.
    setText(m_unit, "seventeen a");
    const auto again = renderWithMidi(m_unit, 0.9, {{0, 0x90, 60, 127}, {s * 8 / 10, 0x80, 60, 0}});
    const long onset = analysis::firstSound(again);
    QVERIFY(onset >= 0);
    QVERIFY(analysis::highBandDb(std::vector<float>(again.begin() + onset, again.begin() + onset + long(s) / 10), 48000,
                                 3000) > hiss[0] + 10);

    // Speech mode: the note starts the whole text at the slider's pitch, and
    // its note-off lets it finish.
    setParam(m_unit, kGlimmParam_SingMode, 0);
    setText(m_unit, "one two three four");
    const auto spoken = renderWithMidi(m_unit, 3, {{1000, 0x90, 90, 127}, {3000, 0x80, 90, 0}});
    QVERIFY2(analysis::activeSeconds(spoken, 48000) > 0.9,
             qPrintable(QString::number(analysis::activeSeconds(spoken, 48000))));
  }

  // A sound starts a fixed time after its note-on, whatever the note's
  // offset in its block: within one 256-frame block at 48 kHz.
  void soundStartsAtItsNote() {
    setText(m_unit, "la");
    for (float sing : {1.0f, 0.0f}) {
      setParam(m_unit, kGlimmParam_SingMode, sing);
      std::vector<long> delays;
      for (size_t offset : {0, 1, 37, 128, 200, 255}) {
        AudioUnitReset(m_unit, kAudioUnitScope_Global, 0);
        const size_t at = 2560 + offset;
        const auto out = renderWithMidi(m_unit, 0.2, {{at, 0x90, 60, 127}});
        const long first = analysis::firstSound(out, 1e-3);
        QVERIFY2(first >= long(at),
                 qPrintable(QString("sing %1: sound at %2, note at %3").arg(sing).arg(first).arg(at)));
        delays.push_back(first - long(at));
        renderUtterance(m_unit, 5);
      }
      const auto [lo, hi] = std::minmax_element(delays.begin(), delays.end());
      QString all;
      for (long d : delays) all += QString::number(d) + " ";
      QVERIFY2(*hi <= 256 && *hi - *lo <= 8, qPrintable(QString("sing %1: %2frames").arg(sing).arg(all)));
    }
  }

  // Release, velocity, pitch bend and the all-off controllers, from audio.
  void notesEndBendAndScale() {
    setParam(m_unit, kGlimmParam_SingMode, 1);
    setText(m_unit, "incomprehensibilities");
    const size_t s = 48000, latency = 256;
    // The key goes up while the first syllable's vowel is held: its final
    // consonant follows, and the sound ends smoothly within 150 ms of the
    // note-off's own latency.
    const size_t off = s / 2;
    const auto held = renderWithMidi(m_unit, 0.8, {{s / 10, 0x90, 60, 127}, {off, 0x80, 60, 0}});
    const long last = [&] {
      for (size_t i = held.size(); i-- > 0;)
        if (std::fabs(held[i]) > 1e-3) return long(i);
      return -1L;
    }();
    QVERIFY2(last > long(off + latency) && last < long(off + latency + s * 15 / 100),
             qPrintable(QString::number(last)));
    double before = 0, tail = 0;
    for (size_t i = off + latency - s / 10; i < off + latency; ++i)
      before = std::max(before, double(std::fabs(held[i])));
    for (size_t i = size_t(last) - s / 500; i <= size_t(last); ++i) tail = std::max(tail, double(std::fabs(held[i])));
    QVERIFY2(before > 0.05 && tail < 0.3 * before, qPrintable(QString("%1 -> %2").arg(before).arg(tail)));

    // Velocity scales the level; 127 is full level.
    auto levelAt = [&](UInt32 velocity) {
      setText(m_unit, "la");
      // Released, so the next key attacks fresh instead of joining on legato.
      const auto out = renderWithMidi(m_unit, 0.8, {{0, 0x90, 60, velocity}, {s * 6 / 10, 0x80, 60, 0}});
      return analysis::activeLevelDb(out);
    };
    const double loud = levelAt(127), soft = levelAt(40);
    const double want = 20 * std::log10(40.0 / 127.0);
    QVERIFY2(std::fabs(soft - loud - want) < 1.5, qPrintable(QString("%1 %2 dB").arg(loud).arg(soft)));

    // Pitch bend up by the whole wheel: two semitones, on the next note too.
    const auto bent = renderWithMidi(m_unit, 0.8, {{0, 0xE0, 0x7F, 0x7F}, {100, 0x90, 60, 127}});
    const double f0 = analysis::medianF0(bent, 48000);
    QVERIFY2(std::fabs(analysis::cents(f0, 440.0 * std::pow(2.0, (62 - 69) / 12.0))) < 20,
             qPrintable(QString::number(f0)));
    const auto centred = renderWithMidi(m_unit, 0.8, {{0, 0xE0, 0x00, 0x40}, {100, 0x90, 60, 127}});
    QVERIFY(std::fabs(analysis::cents(analysis::medianF0(centred, 48000), 261.63)) < 15);

    // All notes off and all sound off end a sound at once.
    setText(m_unit, "incomprehensibilities");
    for (UInt32 controller : {123u, 120u}) {
      const size_t stop = s / 3;
      const auto cut = renderWithMidi(m_unit, 0.7, {{s / 10, 0x90, 60, 127}, {stop, 0xB0, controller, 0}});
      double rest = 0;
      for (size_t i = stop + latency + s / 500; i < cut.size(); ++i) rest = std::max(rest, double(std::fabs(cut[i])));
      QVERIFY2(analysis::peak(cut) > 0.1 && rest == 0.0, qPrintable(QString("CC %1: %2").arg(controller).arg(rest)));
    }
  }

  // Running status, sysex, bad data bytes, extreme notes and a thousand notes
  // in one block: nothing breaks, and the last note is the one that sounds.
  void hostileMidi() {
    setParam(m_unit, kGlimmParam_SingMode, 1);
    setText(m_unit, "la");
    for (UInt32 b : {0x3Cu, 0x64u, 0xF0u, 0xF7u, 0xFFu, 0xF8u}) MusicDeviceMIDIEvent(m_unit, b, 0x7E, 0x7F, 0);
    MusicDeviceMIDIEvent(m_unit, 0x90, 0xBC, 0xFF, 0);
    MusicDeviceMIDIEvent(m_unit, 0x90, 60, 100, 1u << 30);  // offset far past the block
    for (UInt32 note : {0u, 127u}) {
      const auto out = renderWithMidi(m_unit, 0.6, {{0, 0x90, note, 127}, {0, 0xE0, 0x7F, 0x7F}});
      QVERIFY(analysis::peak(out) > 0.05 && analysis::peak(out) < 1.0);
    }
    std::vector<MidiAt> storm;
    for (int i = 0; i < 1000; ++i)
      storm.push_back({size_t(i % 256), UInt32(i % 3 ? 0x90 : 0x80), UInt32(i * 7 % 128), UInt32(i % 128)});
    storm.push_back({255, 0xE0, 0x00, 0x40});
    storm.push_back({255, 0x90, 72, 127});
    // At real-time pace, so the engine has the second it would have in a host.
    const auto out = renderWithMidi(m_unit, 1.0, storm, std::chrono::microseconds(5333));
    QVERIFY2(analysis::peak(out) < 1.0, qPrintable(QString("peak %1").arg(analysis::peak(out))));
    const double f0 = analysis::medianF0(out, 48000);
    size_t firstLoud = out.size();
    for (size_t i = 0; i < out.size() && firstLoud == out.size(); ++i)
      if (std::fabs(out[i]) > 1e-3f) firstLoud = i;
    QVERIFY2(
        std::fabs(analysis::cents(f0, 523.25)) < 15,
        qPrintable(
            QString("F0 %1 Hz, peak %2, first sound at frame %3").arg(f0).arg(analysis::peak(out)).arg(firstLoud)));
  }

  // At the defaults the voice is as loud as the synthesiser's own program;
  // sung notes keep that level and their pitch over four octaves; nothing
  // reaches full scale at any setting; no silence trails an utterance.
  void levelsAndHeadroom() {
    const std::string text = "Hello there, how are you? This is a test of the speech level.";
    QTemporaryDir dir;
    const QString wav = dir.filePath("reference.wav");
    QProcess reference;
    reference.start("espeak-ng", {"-w", wav, QString::fromStdString(text)});
    QVERIFY2(reference.waitForFinished(30000) && reference.exitCode() == 0, "espeak-ng (scripts/deps.sh) did not run");
    QFile f(wav);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QVERIFY(bytes.size() > 44);
    std::vector<float> ref((size_t(bytes.size()) - 44) / 2);
    for (size_t i = 0; i < ref.size(); ++i) {
      int16_t v;
      std::memcpy(&v, bytes.constData() + 44 + 2 * i, 2);
      ref[i] = float(v) / 32768.0f;
    }
    const double refDb = analysis::activeLevelDb(ref);
    const double speechDb = analysis::activeLevelDb(speak(m_unit, text));
    QVERIFY2(std::fabs(speechDb - refDb) <= 2.0, qPrintable(QString("%1 dB against %2 dB").arg(speechDb).arg(refDb)));

    // The last sound is the end: the unit stops speaking right after it.
    setText(m_unit, text);
    play(m_unit);
    std::vector<float> out, l, r;
    UInt32 speaking = 1;
    for (int i = 0; i < 20000 && speaking; ++i) {
      if (renderBlock(m_unit, l, r, 256)) out.insert(out.end(), l.begin(), l.end());
      UInt32 size = sizeof speaking;
      AudioUnitGetProperty(m_unit, kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &speaking, &size);
      if (out.empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    size_t lastLoud = out.size();
    while (lastLoud > 0 && std::fabs(out[lastLoud - 1]) <= 1e-3f) --lastLoud;
    QVERIFY2(!speaking && out.size() - lastLoud < 48000 / 50, qPrintable(QString::number(out.size() - lastLoud)));

    setParam(m_unit, kGlimmParam_SingMode, 1);
    setText(m_unit, "la");
    for (int note = 36; note <= 84; note += 4) {
      const auto sung = renderWithMidi(m_unit, 0.7, {{0, 0x90, UInt32(note), 127}});
      const double want = 440.0 * std::pow(2.0, (note - 69) / 12.0);
      const double f0 = analysis::medianF0(sung, 48000, 50, 1200);
      QVERIFY2(std::fabs(analysis::cents(f0, want)) <= 15, qPrintable(QString("note %1: %2 Hz").arg(note).arg(f0)));
      const double db = analysis::activeLevelDb(sung);
      QVERIFY2(std::fabs(db - speechDb) <= 3.0,
               qPrintable(QString("note %1: %2 dB, speech %3").arg(note).arg(db).arg(speechDb)));
    }

    // Every corner of the settings, in both modes.
    const std::string loud = "Ah! Wow, what a loud voice.";
    for (float sing : {0.0f, 1.0f})
      for (float pitch : {0.0f, 255.0f})
        for (float mouth : {0.0f, 255.0f})
          for (float throat : {0.0f, 255.0f})
            for (float speed : {20.0f, 200.0f}) {
              if (speed == 20.0f && (mouth != throat)) continue;  // slow is only longer
              setParam(m_unit, kGlimmParam_SingMode, sing);
              setParam(m_unit, kGlimmParam_Pitch, pitch);
              setParam(m_unit, kGlimmParam_Mouth, mouth);
              setParam(m_unit, kGlimmParam_Throat, throat);
              setParam(m_unit, kGlimmParam_Speed, speed);
              const double peak = analysis::peak(speak(m_unit, loud));
              QVERIFY2(peak > 0.05 && peak < 0.995,
                       qPrintable(QString("sing %1 pitch %2 mouth %3 throat %4 speed %5: %6")
                                      .arg(sing)
                                      .arg(pitch)
                                      .arg(mouth)
                                      .arg(throat)
                                      .arg(speed)
                                      .arg(peak)));
            }
  }

  // Phonetic mode reads mnemonics; the filter band-limits the voice.
  void switchesShapeTheVoice() {
    const double hello = analysis::activeSeconds(speakSteadily(m_unit, "hello", 1.0), 48000);
    const double symbols = analysis::activeSeconds(speakSteadily(m_unit, "h@l'oU", 2.0), 48000);
    setParam(m_unit, kGlimmParam_Phonetic, 1);
    const double mnemonics = analysis::activeSeconds(speakSteadily(m_unit, "h@l'oU", 1.0), 48000);
    // Read out as symbols it takes far longer than the word it spells.
    QVERIFY2(symbols > 1.8 * hello && std::fabs(mnemonics - hello) < 0.3 * hello,
             qPrintable(QString("%1 %2 %3 s").arg(hello).arg(symbols).arg(mnemonics)));
    // Sung words in phonetic mode are mnemonics too.
    setParam(m_unit, kGlimmParam_SingMode, 1);
    // Released where a word ends, it is as long as the word (its symbols
    // read out would be far longer).
    const auto sung = renderWithMidi(m_unit, 1.0, {{0, 0x90, 57, 127}, {size_t(hello * 48000), 0x80, 57, 0}});
    const double sungSeconds = analysis::activeSeconds(sung, 48000);
    QVERIFY2(std::fabs(sungSeconds - hello) < 0.35 * hello, qPrintable(QString::number(sungSeconds)));
    setParam(m_unit, kGlimmParam_SingMode, 0);
    setParam(m_unit, kGlimmParam_Phonetic, 0);

    const std::string text = "She sells sea shells; six thick thistle sticks.";
    const auto plain = speak(m_unit, text);
    setParam(m_unit, kGlimmParam_Filter, 1);
    const auto filtered = speak(m_unit, text);
    const double plainHigh = analysis::highBandDb(plain, 48000, 5000),
                 filteredHigh = analysis::highBandDb(filtered, 48000, 5000);
    QVERIFY2(filteredHigh < plainHigh - 20, qPrintable(QString("%1 -> %2 dB").arg(plainHigh).arg(filteredHigh)));
    // Still the same speech: its timing, loudness contour and pitch.
    const double a = analysis::activeSeconds(plain, 48000), b = analysis::activeSeconds(filtered, 48000);
    QVERIFY2(std::fabs(a - b) < 0.1 * a, qPrintable(QString("%1 %2 s").arg(a).arg(b)));
    // The contour is compared on voiced speech: hisses lose their top
    // octaves, which is what the filter is for.
    setParam(m_unit, kGlimmParam_Filter, 0);
    const std::string voiced = "I am a home computer and I will now read you a lovely poem";
    const auto voicedPlain = speakSteadily(m_unit, voiced, 3.5);
    setParam(m_unit, kGlimmParam_Filter, 1);
    const auto voicedFiltered = speakSteadily(m_unit, voiced, 3.5);
    auto contour = [](const std::vector<float>& x) {
      return analysis::envelope(std::vector<float>(x.begin() + std::max(0L, analysis::firstSound(x)), x.end()), 48000);
    };
    const auto plainContour = contour(voicedPlain), filteredContour = contour(voicedFiltered);
    double corr = 0;
    for (size_t shift = 0; shift < 10; ++shift) {
      corr = std::max(corr,
                      analysis::correlation(std::vector<double>(plainContour.begin() + long(shift), plainContour.end()),
                                            filteredContour));
      corr = std::max(
          corr, analysis::correlation(
                    plainContour, std::vector<double>(filteredContour.begin() + long(shift), filteredContour.end())));
    }
    QVERIFY2(corr > 0.8, qPrintable(QString::number(corr)));
    const double f0Plain = analysis::medianF0(voicedPlain, 48000),
                 f0Filtered = analysis::medianF0(voicedFiltered, 48000);
    QVERIFY2(std::fabs(analysis::cents(f0Filtered, f0Plain)) < 100,
             qPrintable(QString("%1 %2 Hz").arg(f0Plain).arg(f0Filtered)));
    QVERIFY(std::fabs(analysis::activeLevelDb(voicedFiltered) - analysis::activeLevelDb(voicedPlain)) < 4);
    QVERIFY(analysis::peak(filtered) < 0.995);
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
    // The module's synthesis process goes with it, reaped: no zombie stays.
    QCOMPARE(probe::children().size(), size_t(1));
    QCOMPARE(dlclose(m_module), 0);
    QVERIFY(!AudioComponentFindNext(nullptr, &d));
    QVERIFY(probe::children().empty());
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
