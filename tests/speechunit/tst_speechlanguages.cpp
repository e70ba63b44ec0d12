// The unit's voice property: which installed espeak-ng voice speaks, measured
// through the unit's own render as a host drives it.
#include "SpeechUnitHarness.h"

#include <QtTest>

using namespace harness;

namespace {

int gVoiceCalls = 0;
void onVoice(void*, AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement) { ++gVoiceCalls; }

QByteArray voice(AudioUnit u) {
  char buf[kGlimmVoiceBufferSize];
  std::memset(buf, 'x', sizeof buf);
  UInt32 size = sizeof buf;
  if (AudioUnitGetProperty(u, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, buf, &size) != noErr ||
      size != sizeof buf || strnlen(buf, sizeof buf) == sizeof buf)
    return "<bad>";
  return QByteArray(buf);
}

// Short-time spectral centroids (Hz) of 20 ms frames that carry sound.
std::vector<double> centroidTrack(const std::vector<float>& x) {
  std::vector<double> track;
  const size_t frame = 960;
  for (size_t at = 0; at + frame <= x.size(); at += frame) {
    std::vector<float> part(x.begin() + long(at), x.begin() + long(at + frame));
    if (analysis::rms(part.data(), part.size()) < 0.01) continue;
    track.push_back(analysis::spectralCentroid(part, 48000));
  }
  return track;
}

// How far apart two utterances are: the difference of their lengths and of
// their centroid tracks, compared at the same relative positions.
double distance(const std::vector<float>& a, const std::vector<float>& b) {
  const std::vector<double> ta = centroidTrack(a), tb = centroidTrack(b);
  if (ta.empty() || tb.empty()) return 1e9;
  const size_t n = 50;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += std::fabs(ta[i * ta.size() / n] - tb[i * tb.size() / n]);
  const double la = analysis::activeSeconds(a, 48000), lb = analysis::activeSeconds(b, 48000);
  return sum / n / 100.0 + 10.0 * std::fabs(la - lb) / std::max(la, lb);
}

}  // namespace

class TestSpeechLanguages : public QObject {
  Q_OBJECT
  LoadedUnit m_loaded;
  AudioUnit m_unit = nullptr;

 private slots:
  void initTestCase() {
    QVERIFY2(m_loaded.load(GLIMM_SPEECH_UNIT_PATH), m_loaded.error.c_str());
    m_unit = m_loaded.unit;
  }

  void init() {
    AudioUnitReset(m_unit, kAudioUnitScope_Global, 0);
    QCOMPARE(setVoice(m_unit, "en"), OSStatus(noErr));
    setParam(m_unit, kGlimmParam_Mouth, 128);
    setParam(m_unit, kGlimmParam_Throat, 128);
  }

  void voiceProperty() {
    // A fresh unit speaks English.
    AudioUnit fresh = newUnit();
    QVERIFY(fresh);
    QCOMPARE(voice(fresh), QByteArray("en"));
    AudioComponentInstanceDispose(fresh);

    UInt32 size = 0;
    Boolean writable = false;
    QCOMPARE(AudioUnitGetPropertyInfo(m_unit, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, &size, &writable),
             OSStatus(noErr));
    QCOMPARE(size, UInt32(kGlimmVoiceBufferSize));
    QVERIFY(writable);
    QCOMPARE(AudioUnitGetPropertyInfo(m_unit, kGlimmProperty_Voice, kAudioUnitScope_Input, 0, &size, &writable),
             OSStatus(kAudioUnitErr_InvalidScope));

    QVERIFY(AudioUnitAddPropertyListener(m_unit, kGlimmProperty_Voice, onVoice, nullptr) == noErr);
    gVoiceCalls = 0;
    // Description, file and short name, in any case, all name one voice; the unit keeps the short name.
    QCOMPARE(setVoice(m_unit, "German"), OSStatus(noErr));
    QCOMPARE(voice(m_unit), QByteArray("de"));
    QCOMPARE(gVoiceCalls, 1);
    QCOMPARE(setVoice(m_unit, "gmw/DE"), OSStatus(noErr));
    QCOMPARE(setVoice(m_unit, "de"), OSStatus(noErr));
    QCOMPARE(gVoiceCalls, 1);  // no change, no announcement
    QCOMPARE(setVoice(m_unit, "CMN-Latn-Pinyin"), OSStatus(noErr));
    QCOMPARE(voice(m_unit), QByteArray("cmn-latn-pinyin"));
    QCOMPARE(gVoiceCalls, 2);

    // Unknown names, variants, paths and malformed buffers are refused and change nothing.
    for (const char* bad : {"elvish", "", "en+f3", "../../../etc/passwd", "de ", "mb-de1"})
      QVERIFY2(setVoice(m_unit, bad) == kAudioUnitErr_InvalidPropertyValue, bad);
    char full[kGlimmVoiceBufferSize];
    std::memset(full, 'a', sizeof full);  // no terminator
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, full, sizeof full),
             OSStatus(kAudioUnitErr_InvalidPropertyValue));
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, "de", 3),
             OSStatus(kAudioUnitErr_InvalidPropertyValue));
    QCOMPARE(voice(m_unit), QByteArray("cmn-latn-pinyin"));
    QCOMPARE(gVoiceCalls, 2);
    AudioUnitRemovePropertyListenerWithUserData(m_unit, kGlimmProperty_Voice, onVoice, nullptr);

    // The list names every voice with its languages and description.
    QCOMPARE(AudioUnitGetPropertyInfo(m_unit, kGlimmProperty_VoiceList, kAudioUnitScope_Global, 0, &size, &writable),
             OSStatus(noErr));
    QVERIFY(!writable && size > 100);
    QByteArray list(int(size), 'x');
    UInt32 got = size;
    QCOMPARE(AudioUnitGetProperty(m_unit, kGlimmProperty_VoiceList, kAudioUnitScope_Global, 0, list.data(), &got),
             OSStatus(noErr));
    QCOMPARE(got, size);
    QCOMPARE(list.at(list.size() - 1), '\0');
    const QList<QByteArray> lines = list.chopped(1).split('\n');
    QVERIFY(lines.contains("de\tde\tGerman"));
    QVERIFY(lines.contains("ru\tru\tRussian"));
    QVERIFY(lines.contains("cmn\tcmn zh-cmn zh\tChinese (Mandarin, latin as English)"));
    // The voices whose faults a synthesis process of their own contains.
    QVERIFY(lines.contains("da\tda\tDanish"));
    QVERIFY(lines.contains("ko\tko\tKorean"));
    QVERIFY(lines.contains("vi\tvi\tVietnamese (Northern)"));
    QVERIFY(lines.size() > 50);
    QCOMPARE(AudioUnitSetProperty(m_unit, kGlimmProperty_VoiceList, kAudioUnitScope_Global, 0, list.data(), size),
             OSStatus(kAudioUnitErr_PropertyNotWritable));
  }

  void languagesSpeak_data() {
    QTest::addColumn<QByteArray>("voice");
    QTest::addColumn<QString>("text");
    QTest::newRow("German") << QByteArray("de") << QString("Guten Morgen! Wie geht es dir heute?");
    QTest::newRow("Russian") << QByteArray("ru") << QString("Доброе утро! Как у тебя дела сегодня?");
    QTest::newRow("Greek") << QByteArray("el") << QString("Καλημέρα! Πώς είσαι σήμερα;");
    QTest::newRow("Spanish") << QByteArray("es") << QString("¡Buenos días! ¿Cómo estás hoy?");
    QTest::newRow("French") << QByteArray("fr") << QString("Bonjour ! Comment allez-vous aujourd'hui ?");
    QTest::newRow("Mandarin") << QByteArray("cmn") << QString("你好！今天天气很好。");
    QTest::newRow("Mandarin pinyin") << QByteArray("cmn-latn-pinyin")
                                     << QString("ni3 hao3, jin1tian1 tian1qi4 hen3 hao3");
  }

  void languagesSpeak() {
    QFETCH(QByteArray, voice);
    QFETCH(QString, text);
    const std::string utf8 = text.toStdString();
    QCOMPARE(setVoice(m_unit, voice.constData()), OSStatus(noErr));
    const std::vector<float> spoken = speak(m_unit, utf8);
    const double secs = analysis::activeSeconds(spoken, 48000);
    QVERIFY2(secs > 0.8 && analysis::peak(spoken) > 0.1, qPrintable(QString("%1 s").arg(secs)));
    // Another language's voice reads the same text otherwise; one voice twice, alike.
    const std::vector<float> again = speak(m_unit, utf8);
    QCOMPARE(setVoice(m_unit, voice == "es" ? "de" : "es"), OSStatus(noErr));
    const std::vector<float> other = speak(m_unit, utf8);
    const double same = distance(spoken, again), differ = distance(spoken, other);
    QVERIFY2(differ > 0.3 && differ > 5 * same, qPrintable(QString("same voice %1, another %2").arg(same).arg(differ)));

    // Scaled formants keep the language: the variant is the voice's own.
    QCOMPARE(setVoice(m_unit, voice.constData()), OSStatus(noErr));
    setParam(m_unit, kGlimmParam_Throat, 200);
    const std::vector<float> shaped = speak(m_unit, utf8);
    const double shapedSecs = analysis::activeSeconds(shaped, 48000);
    const double brighter = analysis::spectralCentroid(shaped, 48000) / analysis::spectralCentroid(spoken, 48000);
    QVERIFY2(std::fabs(shapedSecs - secs) < 0.1 * secs && brighter > 1.1,
             qPrintable(QString("%1 s, shaped %2 s, centroid x%3").arg(secs).arg(shapedSecs).arg(brighter)));
  }

  // Texts on which these voices make espeak-ng read through a wild pointer or
  // freed memory: the fault ends the synthesis process, which costs at most
  // that utterance. This process lives on and the voice speaks the next one.
  void faultyVoicesCostOneUtterance_data() {
    QTest::addColumn<QByteArray>("voice");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("text");
    QTest::newRow("Danish") << QByteArray("da") << QString(":-a") << QString("God morgen, hvordan har du det?");
    QTest::newRow("Vietnamese") << QByteArray("vi") << QString(":-a") << QString("Xin chào, bạn khỏe không?");
    QTest::newRow("Korean") << QByteArray("ko") << QString("¨©") << QString("안녕하세요, 잘 지내세요?");
  }

  void faultyVoicesCostOneUtterance() {
    QFETCH(QByteArray, voice);
    QFETCH(QString, fault);
    QFETCH(QString, text);
    QCOMPARE(setVoice(m_unit, voice.constData()), OSStatus(noErr));
    for (int round = 0; round < 2; ++round) {
      speak(m_unit, fault.toStdString(), 5);
      const std::vector<float> next = speak(m_unit, text.toStdString());
      const double secs = analysis::activeSeconds(next, 48000);
      QVERIFY2(secs > 0.8 && analysis::peak(next) > 0.1, qPrintable(QString("%1 s").arg(secs)));
    }
  }

  void voiceOfTheNextUtterance() {
    // A change reaches the next utterance, not the one being spoken.
    const std::string text = "Guten Morgen! Wie geht es dir heute?";
    QCOMPARE(setVoice(m_unit, "de"), OSStatus(noErr));
    const std::vector<float> german = speak(m_unit, text);
    QCOMPARE(setVoice(m_unit, "en"), OSStatus(noErr));
    const std::vector<float> english = speak(m_unit, text);
    setText(m_unit, text);
    QCOMPARE(setVoice(m_unit, "de"), OSStatus(noErr));
    play(m_unit);
    QCOMPARE(setVoice(m_unit, "en"), OSStatus(noErr));
    const std::vector<float> played = renderUtterance(m_unit);
    QVERIFY(distance(played, german) < distance(played, english));
  }
};

QTEST_GUILESS_MAIN(TestSpeechLanguages)
#include "tst_speechlanguages.moc"
