// The host's command line: every option, and the clear refusals.
#include "hostoptions.h"

#include <QtTest>

namespace {

// The cases read a parse as the options and the error side by side.
struct Parsed {
  HostOptions options;
  QString error;  // empty when the command line is good
};

Parsed parseHostOptions(const QStringList& arguments) {
  Parsed r;
  if (std::optional<HostOptions> o = ::parseHostOptions(arguments, &r.error)) r.options = *o;
  return r;
}

}  // namespace

class TestHostOptions : public QObject {
  Q_OBJECT
 private slots:
  void acceptsEveryOption() {
    const auto r = parseHostOptions({"glimm-host", "--unit", "/x/u.so", "--text", "hello world", "--set", "pitch=100",
                                     "--set=speed=20", "--set", "sing=on", "--speak", "--wav", "o.wav", "--rate",
                                     "44100", "--screenshot", "s.png", "--quit-after-speech"});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    const HostOptions& o = r.options;
    QCOMPARE(o.unitPath, QString("/x/u.so"));
    QVERIFY(o.hasText);
    QCOMPARE(o.text, QString("hello world"));
    QCOMPARE(o.params.size(), size_t(3));
    QCOMPARE(o.params[0].first, 0u);
    QCOMPARE(o.params[0].second, 100.f);
    QCOMPARE(o.params[1].first, 1u);
    QCOMPARE(o.params[1].second, 20.f);
    QCOMPARE(o.params[2].first, 4u);
    QCOMPARE(o.params[2].second, 1.f);
    QVERIFY(o.speak && o.quitAfterSpeech && !o.noWindow);
    QCOMPARE(o.wavPath, QString("o.wav"));
    QCOMPARE(o.sampleRate, 44100);
    QCOMPARE(o.screenshotPath, QString("s.png"));
  }

  void settingsAndDeviceOptions() {
    const auto r = parseHostOptions(
        {"glimm-host", "--preset", "a.json", "--save-preset=b.json", "--fresh", "--device", "system", "--no-window"});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.options.presetPath, QString("a.json"));
    QCOMPARE(r.options.savePresetPath, QString("b.json"));
    QVERIFY(r.options.fresh);
    QCOMPARE(r.options.deviceName, QString("system"));
    // With the window, SPEAK! starts what --quit-after-speech waits for.
    QVERIFY(parseHostOptions({"glimm-host", "--quit-after-speech"}).error.isEmpty());
  }

  void voiceAndMidiOptions() {
    const auto r = parseHostOptions({"glimm-host", "--voice", "German", "--midi", "--list-voices", "--list-midi"});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.options.voice, QString("German"));
    QVERIFY(r.options.midi && r.options.listVoices && r.options.listMidi);
    QVERIFY(!parseHostOptions({"glimm-host"}).options.midi);
    QVERIFY(parseHostOptions({"glimm-host"}).options.voice.isEmpty());
  }

  void defaults() {
    const auto r = parseHostOptions({"glimm-host"});
    QVERIFY(r.error.isEmpty());
    QCOMPARE(r.options.sampleRate, 48000);
    QVERIFY(!r.options.hasText && !r.options.speak && r.options.params.empty());
  }

  void refusesBadCommandLines_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "--frobnicate";
    QTest::newRow("missing value") << QStringList{"--wav"} << "--wav";
    QTest::newRow("unknown parameter") << QStringList{"--set", "volume=3"} << "volume";
    QTest::newRow("no equals") << QStringList{"--set", "pitch"} << "NAME=VALUE";
    QTest::newRow("not a number") << QStringList{"--set", "pitch=high"} << "high";
    QTest::newRow("nan") << QStringList{"--set", "pitch=nan"} << "nan";
    QTest::newRow("above range") << QStringList{"--set", "pitch=256"} << "0..255";
    QTest::newRow("below range") << QStringList{"--set", "speed=19"} << "20..200";
    QTest::newRow("sing not a switch") << QStringList{"--set", "sing=2"} << "sing takes 0, 1, on or off";
    QTest::newRow("sing yes") << QStringList{"--set", "sing=yes"}
                              << "\"yes\" is not a switch value; sing takes 0, 1, on or off";
    QTest::newRow("sing halfway") << QStringList{"--set", "sing=0.5"} << "sing takes 0, 1, on or off";
    QTest::newRow("render without a file") << QStringList{"--render"} << "--render";
    QTest::newRow("render and wav") << QStringList{"--render", "a.wav", "--wav", "b.wav"} << "--wav";
    QTest::newRow("render and screenshot")
        << QStringList{"--render", "a.wav", "--screenshot", "a.png"} << "--screenshot";
    QTest::newRow("version with value") << QStringList{"--version=2"} << "--version";
    QTest::newRow("empty voice") << QStringList{"--voice="} << "--voice needs a voice name";
    QTest::newRow("voice too long") << QStringList{"--voice", QString(64, 'v')} << "longer than any voice name";
    QTest::newRow("render and midi") << QStringList{"--render", "a.wav", "--midi"} << "--midi";
    QTest::newRow("midi with value") << QStringList{"--midi=yes"} << "--midi";
    QTest::newRow("rate") << QStringList{"--rate", "12x"} << "12x";
    QTest::newRow("rate too low") << QStringList{"--rate", "100"} << "100";
    QTest::newRow("flag with value") << QStringList{"--speak=yes"} << "--speak";
    QTest::newRow("screenshot without window") << QStringList{"--no-window", "--screenshot", "a.png"} << "--no-window";
    QTest::newRow("text too long") << QStringList{"--text", QString(300, QChar(0xe9))} << "511";
    QTest::newRow("text too long for the window") << QStringList{"--text", QString(257, 'a')} << "256";
    QTest::newRow("quit after no speech") << QStringList{"--no-window", "--quit-after-speech"} << "add --speak";
    QTest::newRow("preset without a file") << QStringList{"--preset"} << "--preset";
    QTest::newRow("save-preset without a file") << QStringList{"--save-preset="} << "--save-preset needs a file name";
    QTest::newRow("fresh with value") << QStringList{"--fresh=1"} << "--fresh takes no value";
    QTest::newRow("empty device") << QStringList{"--device", ""} << "--list-devices";
    QTest::newRow("render and device") << QStringList{"--render", "a.wav", "--device", "x"} << "--device";
    QTest::newRow("too long without the window")
        << QStringList{"--no-window", "--text", QString(300, QChar(0xe9))} << "511";
  }
  void refusesBadCommandLines() {
    QFETCH(QStringList, args);
    QFETCH(QString, mentions);
    args.prepend("glimm-host");
    const auto r = parseHostOptions(args);
    QVERIFY(!r.error.isEmpty());
    QVERIFY2(r.error.contains(mentions), qPrintable(r.error));
  }

  // The editor's field holds 256 UTF-16 units; the unit alone takes 511 bytes.
  void textLimitDependsOnTheWindow() {
    auto r = parseHostOptions({"glimm-host", "--text", QString(256, QChar(0x2c))});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.options.text.size(), 256);
    r = parseHostOptions({"glimm-host", "--no-window", "--text", QString(500, 'a')});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.options.text.size(), 500);
    // One character beyond the field's hold: refused before anything is cut.
    r = parseHostOptions({"glimm-host", "--text", QString(257, 'a')});
    QVERIFY(r.error.contains("257") && r.error.contains("--no-window"));
    // A character outside the BMP takes two units of the field.
    r = parseHostOptions({"glimm-host", "--text", QString(255, 'a') + QString::fromUcs4(U"\U0001F600")});
    QVERIFY2(r.error.contains("256"), qPrintable(r.error));
  }

  // A switch takes its two values however they are spelt, and nothing between.
  void switchesTakeZeroOneOnOrOff_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<float>("expected");
    QTest::newRow("0") << "0" << 0.f;
    QTest::newRow("1") << "1" << 1.f;
    QTest::newRow("on") << "on" << 1.f;
    QTest::newRow("OFF") << "OFF" << 0.f;
  }
  void switchesTakeZeroOneOnOrOff() {
    QFETCH(QString, value);
    QFETCH(float, expected);
    const auto r = parseHostOptions({"glimm-host", "--set", "sing=" + value});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.options.params.size(), size_t(1));
    QCOMPARE(r.options.params[0].second, expected);
  }

  // --render needs neither window nor device and speaks the text to its end.
  void renderImpliesAWindowlessSpokenRun() {
    auto r = parseHostOptions({"glimm-host", "--render", "out.wav", "--text", QString(400, 'a'), "--rate", "22050"});
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.options.renderPath, QString("out.wav"));
    QVERIFY(r.options.noWindow && r.options.speak && r.options.quitAfterSpeech);
    QCOMPARE(r.options.sampleRate, 22050);
    QVERIFY(r.options.wavPath.isEmpty());
    r = parseHostOptions({"glimm-host", "--version"});
    QVERIFY(r.error.isEmpty() && r.options.version && r.options.renderPath.isEmpty() && !r.options.noWindow);
    QVERIFY(hostVersionLine().startsWith("glimm-host "));
  }

  void usageDocumentsEveryOption() {
    const QString usage = hostUsage();
    for (const char* o : {"--unit", "--text", "--set", "--speak", "--wav", "--rate", "--screenshot", "--no-window",
                          "--quit-after-speech", "--list-devices", "--render", "--version", "--help", "--preset",
                          "--save-preset", "--fresh", "--device"})
      QVERIFY2(usage.contains(QLatin1String(o)), o);
    for (const char* code : {"0 ", "1 ", "2 ", "3 ", "4 ", "130", "143"})
      QVERIFY2(usage.contains(QLatin1String("  ") + QLatin1String(code)), code);
  }
};

QTEST_GUILESS_MAIN(TestHostOptions)
#include "tst_hostoptions.moc"
