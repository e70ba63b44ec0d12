// The host's hold on the unit: loading it and asking it whether it is still
// speaking, the question --quit-after-speech waits on.
#include "audiooutput.h"
#include "unithost.h"

#include "AUGlimm3_Interface.h"

#include <QtTest>

#include <chrono>
#include <thread>

namespace {

UInt32 speakingOf(AudioUnit u, OSStatus* status = nullptr) {
  UInt32 value = 7, size = sizeof value;
  const OSStatus err = AudioUnitGetProperty(u, kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &value, &size);
  if (status) *status = err;
  return err == noErr ? value : 7u;
}

}  // namespace

class TestUnitHost : public QObject {
  Q_OBJECT
  UnitHost m_host;

 private slots:
  void initTestCase() {
    std::string error;
    QVERIFY2(m_host.load(qEnvironmentVariable("GLIMM_UNIT_MODULE").toStdString(), 48000, 1024, &error), error.c_str());
  }

  void speakingIsAReadOnlyGlobalNumber() {
    UInt32 size = 0;
    Boolean writable = true;
    QCOMPARE(
        AudioUnitGetPropertyInfo(m_host.unit(), kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &size, &writable),
        OSStatus(noErr));
    QCOMPARE(size, UInt32(sizeof(UInt32)));
    QVERIFY(!writable);
    UInt32 value = 1;
    QCOMPARE(
        AudioUnitSetProperty(m_host.unit(), kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &value, sizeof value),
        OSStatus(kAudioUnitErr_PropertyNotWritable));
    size = sizeof value;
    QCOMPARE(AudioUnitGetProperty(m_host.unit(), kGlimmProperty_Speaking, kAudioUnitScope_Output, 0, &value, &size),
             OSStatus(kAudioUnitErr_InvalidScope));
    size = 2;
    QCOMPARE(AudioUnitGetProperty(m_host.unit(), kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &value, &size),
             OSStatus(kAudio_ParamError));
  }

  // 1 from play until the last of the utterance has been rendered, and never
  // 0 while any of it is still to come; each round is a fresh utterance.
  void speakingLastsUntilTheUtteranceIsRendered() {
    OSStatus status = -1;
    QCOMPARE(speakingOf(m_host.unit(), &status), 0u);
    QCOMPARE(status, OSStatus(noErr));
    QCOMPARE(m_host.setText("Hi. Yes."), OSStatus(noErr));
    AudioOutput audio(m_host.unit(), 48000);  // never started: renders only when asked
    float block[AudioOutput::kBlockFrames * AudioOutput::kChannels];
    for (int round = 0; round < 3; ++round) {
      QCOMPARE(m_host.play(), OSStatus(noErr));
      QCOMPARE(speakingOf(m_host.unit()), 1u);
      const auto from = audio.framesRendered();
      const bool ended = QTest::qWaitFor(
          [&] {
            for (int i = 0; i < 8; ++i) audio.renderBlock(block, AudioOutput::kBlockFrames);
            return speakingOf(m_host.unit()) == 0u;
          },
          20000);
      QVERIFY(ended);
      QVERIFY2(audio.lastLoudFrame() > from + 48000 / 4, qPrintable(QString::number(audio.lastLoudFrame() - from)));
      // Done means done: nothing audible follows.
      const auto loud = audio.lastLoudFrame();
      for (int i = 0; i < 40; ++i) audio.renderBlock(block, AudioOutput::kBlockFrames);
      QCOMPARE(audio.lastLoudFrame(), loud);
    }
  }

  // Text with nothing to say ends without a sound; a reset ends the utterance
  // without its having to be rendered.
  void unspokenUtterancesEnd() {
    AudioOutput audio(m_host.unit(), 48000);
    float block[AudioOutput::kBlockFrames * AudioOutput::kChannels];
    QCOMPARE(m_host.setText(" \t\x01 "), OSStatus(noErr));
    QCOMPARE(m_host.play(), OSStatus(noErr));
    QVERIFY(QTest::qWaitFor(
        [&] {
          audio.renderBlock(block, AudioOutput::kBlockFrames);
          return speakingOf(m_host.unit()) == 0u;
        },
        10000));
    QCOMPARE(audio.lastLoudFrame(), 0ull);
    QCOMPARE(m_host.setText("A long sentence that would take a while to say."), OSStatus(noErr));
    QCOMPARE(m_host.play(), OSStatus(noErr));
    QCOMPARE(speakingOf(m_host.unit()), 1u);
    AudioUnitReset(m_host.unit(), kAudioUnitScope_Global, 0);  // a reset silences the voice
    QVERIFY(QTest::qWaitFor([&] { return speakingOf(m_host.unit()) == 0u; }, 10000));
  }
};

QTEST_GUILESS_MAIN(TestUnitHost)
#include "tst_unithost.moc"
