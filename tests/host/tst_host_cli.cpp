// glimm-host as users run it: a whole spoken, recorded and photographed run,
// and the clear refusals of bad command lines and missing pieces.
#include "panelpixels.h"

#include <QtTest>

#include <sndfile.h>

#include <cmath>

namespace {

struct Run {
  int exitCode = -1;
  QString err;
};

Run runHost(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
            int timeoutMs = 60000) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(qEnvironmentVariable("GLIMM_HOST"), args);
  Run r;
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    r.err = "timed out";
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.err = QString::fromLocal8Bit(p.readAllStandardError());
  return r;
}

}  // namespace

class TestHostCli : public QObject {
  Q_OBJECT
 private slots:
  void speaksRecordsAndShowsThePanel() {
    QTemporaryDir dir;
    const QString wav = dir.filePath("out.wav"), shot = dir.filePath("shot.png");
    const Run r =
        runHost({"--text", "hello world", "--speak", "--wav", wav, "--screenshot", shot, "--quit-after-speech"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));

    SF_INFO info = {};
    SNDFILE* f = sf_open(wav.toLocal8Bit().constData(), SFM_READ, &info);
    QVERIFY(f);
    std::vector<float> samples(size_t(info.frames) * info.channels);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    QCOMPARE(info.samplerate, 48000);
    const double seconds = double(info.frames) / info.samplerate;
    // "hello world" takes about a second; the host stops after the speech ends.
    QVERIFY2(seconds > 0.6 && seconds < 10, qPrintable(QString::number(seconds)));
    float peak = 0;
    double sum = 0;
    size_t loud = 0;
    for (float s : samples) {
      peak = std::max(peak, std::fabs(s));
      sum += double(s) * s;
      loud += std::fabs(s) > 0.01f;
    }
    const double rms = std::sqrt(sum / double(samples.size()));
    QVERIFY2(peak > 0.1f && peak <= 1.0f, qPrintable(QString::number(peak)));
    QVERIFY2(rms > 0.01, qPrintable(QString::number(rms)));
    // Speech, not a click: a good share of half a second is audible.
    QVERIFY(loud > size_t(info.samplerate) / 2);

    QImage img(shot);
    QVERIFY(!img.isNull());
    const QString wrong = panelpixels::check(img.convertToFormat(QImage::Format_RGB32));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    // Eleven 12-pixel cells of "hello world", not the seven of "Execute".
    const QRect text = panelpixels::firstLineText(img.convertToFormat(QImage::Format_RGB32));
    QVERIFY2(text.width() > 118 && text.width() < 136, qPrintable(QString::number(text.width())));
  }

  void refusesBadCommandLines_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");
    QTest::newRow("unknown") << QStringList{"--loud"} << "unknown option";
    QTest::newRow("range") << QStringList{"--set", "pitch=999"} << "0..255";
    QTest::newRow("value") << QStringList{"--rate"} << "--rate needs a value";
  }
  void refusesBadCommandLines() {
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    const Run r = runHost(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(says), qPrintable(r.err));
  }

  void namesAMissingUnit() {
    const QString path = "/nonexistent/place/GlimmSpeechUnit.so";
    const Run r = runHost({"--unit", path, "--no-window"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(path), qPrintable(r.err));
  }

  void namesAMissingEditorBundle() {
    // The unit names the editor bundle beside itself; alone in a folder, it names one that isn't there.
    QTemporaryDir dir;
    const QString unit = dir.filePath("GlimmSpeechUnit.so");
    QVERIFY(QFile::copy(qEnvironmentVariable("GLIMM_UNIT_MODULE"), unit));
    const Run r = runHost({"--unit", unit});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(dir.filePath("AUGlimm3CocoaUI.so")), qPrintable(r.err));
  }

  void failsWhenTheScreenshotCannotBeWritten() {
    const QString shot = "/nonexistent/place/panel.png";
    const Run r = runHost({"--text", "hi", "--speak", "--quit-after-speech", "--screenshot", shot});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(shot), qPrintable(r.err));
  }

  void explainsHowToRunWithoutADisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    const Run r = runHost({}, env);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("xvfb-run") && r.err.contains("offscreen"), qPrintable(r.err));
  }
};

QTEST_GUILESS_MAIN(TestHostCli)
#include "tst_host_cli.moc"
