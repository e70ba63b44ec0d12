// glimm-host as users run it: a whole spoken, recorded and photographed run,
// and the clear refusals of bad command lines and missing pieces.
#include "ProcessProbe.h"
#include "panelpixels.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sndfile.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>

namespace {

struct Run {
  int exitCode = -1;
  QString err;
  QString out;
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
  r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  return r;
}

// A TMPDIR of the host's own, so that what it leaves behind can be told from
// what other programs make. Short and lower-case: the engine keeps its voice
// files under TMPDIR only when the voice loader can read such a path.
struct PrivateTmp {
  QString path;
  PrivateTmp() {
    static int count = 0;
    path = QStringLiteral("/tmp/glimmhost%1x%2").arg(QCoreApplication::applicationPid()).arg(++count);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
  }
  ~PrivateTmp() { QDir(path).removeRecursively(); }
  QStringList speechFolders() const {
    return QDir(path).entryList({"glimm-speech-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
  }
  QProcessEnvironment env() const {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("TMPDIR", path);
    return e;
  }
};

struct Wav {
  bool opened = false;
  int rate = 0;
  long long frames = 0;
  std::vector<float> left;
};

Wav readWav(const QString& path) {
  Wav w;
  SF_INFO info = {};
  SNDFILE* f = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
  if (!f) return w;
  w.opened = true;
  w.rate = info.samplerate;
  w.frames = info.frames;
  std::vector<float> all(size_t(info.frames) * info.channels);
  w.frames = sf_readf_float(f, all.data(), info.frames);
  sf_close(f);
  for (long long i = 0; i < w.frames; ++i) w.left.push_back(all[size_t(i) * info.channels]);
  return w;
}

// What the RIFF header itself says: the byte count of the data chunk and where
// that chunk's bytes begin (-1 when there is no data chunk).
std::pair<long long, long long> wavDataChunk(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {-1, -1};
  const QByteArray head = f.read(4096);
  for (int at = 12; at + 8 <= head.size();) {
    const auto* b = reinterpret_cast<const unsigned char*>(head.constData() + at + 4);
    const long long size = b[0] | b[1] << 8 | b[2] << 16 | (long long)b[3] << 24;
    if (head.mid(at, 4) == "data") return {size, at + 8};
    at += 8 + int(size) + int(size & 1);
  }
  return {-1, -1};
}

// Stretches of audible sound, as [start, end) seconds, in 10 ms windows.
std::vector<std::pair<double, double>> audibleStretches(const std::vector<float>& s, int rate) {
  std::vector<std::pair<double, double>> out;
  const size_t win = size_t(rate) / 100;
  bool inside = false;
  for (size_t i = 0; i + win <= s.size(); i += win) {
    double sum = 0;
    for (size_t k = i; k < i + win; ++k) sum += double(s[k]) * s[k];
    const bool loud = std::sqrt(sum / double(win)) > 0.01;
    const double t = double(i) / rate;
    if (loud && !inside) out.push_back({t, t});
    if (loud) out.back().second = t + double(win) / rate;
    inside = loud;
  }
  // Gaps within a word or between words are short; join anything under 0.3 s.
  std::vector<std::pair<double, double>> joined;
  for (const auto& st : out) {
    if (!joined.empty() && st.first - joined.back().second < 0.3)
      joined.back().second = st.second;
    else
      joined.push_back(st);
  }
  return joined;
}

// The samples from the first audible one to the last: what a recording holds
// of the utterance, whatever silence surrounds it.
std::vector<float> trimmed(const std::vector<float>& s) {
  auto loud = [](float v) { return std::fabs(v) > 1e-3f; };
  const auto first = std::find_if(s.begin(), s.end(), loud);
  const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
  return first < last ? std::vector<float>(first, last) : std::vector<float>{};
}

// Sign changes per second: follows the voice's pitch and formants.
double zeroCrossingRate(const std::vector<float>& s, int rate) {
  size_t crossings = 0;
  for (size_t i = 1; i < s.size(); ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
  return s.empty() ? 0 : double(crossings) * rate / double(s.size());
}

const char* kLongText =
    "This is a long recording that keeps the voice busy for a good while, so that the host is still speaking "
    "and still writing its file when it is told to stop. It goes on, and on, and on, one sentence after another.";

QJsonObject readJson(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  QCOMPARE(f.write(bytes), bytes.size());
}

}  // namespace

class TestHostCli : public QObject {
  Q_OBJECT
  // The hosts run here keep their last-run state in this folder, never in the user's.
  QTemporaryDir m_config;
  QString lastRun() const { return m_config.filePath("glimm-host/last-run.json"); }

 private slots:
  void initTestCase() {
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
  }
  void init() { QDir(m_config.path()).removeRecursively(), QDir().mkpath(m_config.path()); }

  // Text and every parameter go to a settings file and come back from it;
  // the command line goes on top of a preset.
  void savesAndOpensSettingsFiles() {
    QTemporaryDir dir;
    const QString first = dir.filePath("first.json"), second = dir.filePath("second.json");
    Run r = runHost(
        {"--no-window", "--set", "pitch=40", "--set", "sing=on", "--text", "a preset text", "--save-preset", first});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QJsonObject saved = readJson(first);
    QCOMPARE(saved.value("text").toString(), QString("a preset text"));
    QCOMPARE(saved.value("parameters")["pitch"].toDouble(), 40.0);
    QCOMPARE(saved.value("parameters")["speed"].toDouble(), 100.0);
    QCOMPARE(saved.value("parameters")["sing"].toBool(), true);

    r = runHost({"--no-window", "--preset", first, "--set", "speed=50", "--save-preset", second});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    saved = readJson(second);
    QCOMPARE(saved.value("text").toString(), QString("a preset text"));
    QCOMPARE(saved.value("parameters")["pitch"].toDouble(), 40.0);
    QCOMPARE(saved.value("parameters")["speed"].toDouble(), 50.0);
    QCOMPARE(saved.value("parameters")["sing"].toBool(), true);
    QVERIFY(!QFile::exists(lastRun()));  // a run without the window keeps no state
  }

  void refusesABadSettingsFileAndChangesNothing_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("says");
    QTest::newRow("missing") << QByteArray() << "No such file";
    QTest::newRow("not JSON") << QByteArray("{pitch: 3") << "not JSON";
    QTest::newRow("wrong type") << QByteArray(R"({"glimm-host settings": 1, "text": ["a"]})")
                                << "\"text\" must be a string";
    QTest::newRow("out of range") << QByteArray(R"({"glimm-host settings": 1, "parameters": {"pitch": 300}})")
                                  << "outside 0..255";
    QTest::newRow("text too long") << QByteArray(R"({"glimm-host settings": 1, "text": ")" + QByteArray(600, 'x') +
                                                 R"("})")
                                   << "at most 511";
  }
  void refusesABadSettingsFileAndChangesNothing() {
    QFETCH(QByteArray, content);
    QFETCH(QString, says);
    QTemporaryDir dir;
    const QString bad = dir.filePath("bad.json"), out = dir.filePath("out.json");
    if (!content.isEmpty()) writeFile(bad, content);
    const Run r = runHost({"--no-window", "--text", "unchanged", "--preset", bad, "--save-preset", out});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(bad) && r.err.contains(says), qPrintable(r.err));
    QVERIFY(!QFile::exists(out));
  }

  // A first start greets; what the window run leaves comes back next time,
  // unless --fresh.
  void theLastRunComesBack() {
    Run r = runHost({"--speak", "--quit-after-speech"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));  // the greeting was spoken
    QVERIFY(readJson(lastRun()).value("text").toString().startsWith("Hello, I am Glimm"));

    r = runHost({"--text", "remember this", "--set", "pitch=77", "--speak", "--quit-after-speech"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QTemporaryDir dir;
    const QString out = dir.filePath("out.json");
    r = runHost({"--no-window", "--save-preset", out});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QCOMPARE(readJson(out).value("text").toString(), QString("remember this"));
    QCOMPARE(readJson(out).value("parameters")["pitch"].toDouble(), 77.0);

    r = runHost({"--no-window", "--fresh", "--save-preset", out});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QCOMPARE(readJson(out).value("text").toString(), QString());
    QCOMPARE(readJson(out).value("parameters")["pitch"].toDouble(), 128.0);
    QCOMPARE(readJson(lastRun()).value("text").toString(), QString("remember this"));
  }

  // A damaged state file is set aside, never lost, and the run goes on.
  void aDamagedLastRunIsKeptAside() {
    QDir().mkpath(QFileInfo(lastRun()).path());
    writeFile(lastRun(), "{\"glimm-host settings\": 1, \"text\": 3");
    QTemporaryDir dir;
    const QString out = dir.filePath("out.json");
    const Run r = runHost({"--no-window", "--save-preset", out});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.err.contains(lastRun()) && r.err.contains("not JSON"), qPrintable(r.err));
    QFile aside(lastRun() + ".bad");
    QVERIFY(aside.open(QIODevice::ReadOnly));
    QCOMPARE(aside.readAll(), QByteArray("{\"glimm-host settings\": 1, \"text\": 3"));
  }
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
    QTest::newRow("longer than the panel") << QStringList{"--text", QString(300, 'a')} << "256";
    QTest::newRow("sing yes") << QStringList{"--set", "sing=yes"} << "sing takes 0, 1, on or off";
  }
  void refusesBadCommandLines() {
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    const Run r = runHost(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(says), qPrintable(r.err));
  }

  // At the slowest speed the pause between sentences is longer than any
  // silence a guess would wait for; the unit says when it has finished.
  void slowSpeechIsRecordedToTheEnd() {
    PrivateTmp tmp;
    const QString wav = tmp.path + "/slow.wav";
    const Run r = runHost(
        {"--no-window", "--set", "speed=20", "--text", "This is the first sentence. This is the second sentence.",
         "--speak", "--wav", wav, "--quit-after-speech"},
        tmp.env(), 120000);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    const Wav w = readWav(wav);
    QVERIFY(w.opened && w.rate == 48000);
    const auto stretches = audibleStretches(w.left, w.rate);
    QVERIFY2(stretches.size() >= 2, qPrintable(QString::number(stretches.size())));
    // The two sentences: the longest pause is the one between them, and
    // there is a sentence's worth of speech after it.
    size_t gapAt = 1;
    for (size_t i = 1; i < stretches.size(); ++i)
      if (stretches[i].first - stretches[i - 1].second > stretches[gapAt].first - stretches[gapAt - 1].second)
        gapAt = i;
    const double gap = stretches[gapAt].first - stretches[gapAt - 1].second;
    QVERIFY2(gap > 0.8, qPrintable(QString::number(gap)));
    const double after = stretches.back().second - stretches[gapAt].first;
    QVERIFY2(after > 1.5, qPrintable(QString::number(after)));
    // Ended at the end: not long after the last sound.
    QVERIFY(double(w.frames) / w.rate - stretches.back().second < 2.0);
    QVERIFY2(tmp.speechFolders().isEmpty(), qPrintable(tmp.speechFolders().join(' ')));
  }

  void saysWhenThereIsNothingToSpeak_data() {
    QTest::addColumn<QStringList>("text");
    QTest::addColumn<bool>("window");
    QTest::newRow("no text") << QStringList{} << false;
    QTest::newRow("empty, window") << QStringList{"--text", ""} << true;
    QTest::newRow("empty") << QStringList{"--text", ""} << false;
    QTest::newRow("spaces and controls") << QStringList{"--text", "  \t \x01\x1b  \x7f "} << false;
  }
  void saysWhenThereIsNothingToSpeak() {
    QFETCH(QStringList, text);
    QFETCH(bool, window);
    QStringList args = text + QStringList{"--speak", "--quit-after-speech"};
    if (!window) args << "--no-window";
    const Run r = runHost(args);
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains("nothing to speak"), qPrintable(r.err));
  }

  // Ctrl+C or a TERM signal ends a recording with a whole file and nothing
  // left in the temporary folder.
  void endsCleanlyOnASignal_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("window");
    QTest::newRow("SIGINT") << int(SIGINT) << 130 << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143 << false;
    QTest::newRow("SIGINT, window") << int(SIGINT) << 130 << true;
  }
  void endsCleanlyOnASignal() {
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(bool, window);
    PrivateTmp tmp;
    const QString wav = tmp.path + "/rec.wav";
    QProcess p;
    p.setProcessEnvironment(tmp.env());
    QStringList args{"--text", kLongText, "--speak", "--wav", wav};
    if (!window) args << "--no-window";
    p.start(qEnvironmentVariable("GLIMM_HOST"), args);
    QVERIFY(p.waitForStarted());
    // A second of speech on file: the engine and its synthesis process run.
    const bool grew = QTest::qWaitFor([&] { return QFileInfo(wav).size() > 48000 * 4; }, 60000);
    if (!grew) p.kill();
    QVERIFY2(grew, qPrintable(QString::fromLocal8Bit(p.readAllStandardError())));
    const std::map<pid_t, char> engines = probe::children(pid_t(p.processId()));
    QCOMPARE(engines.size(), size_t(1));
    QCOMPARE(::kill(pid_t(p.processId()), signal), 0);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    // The synthesis process does not outlive the host.
    QVERIFY(QTest::qWaitFor([&] { return !probe::running(engines.begin()->first); }, 5000));

    const auto [dataBytes, dataAt] = wavDataChunk(wav);
    QCOMPARE(dataBytes, QFileInfo(wav).size() - dataAt);
    const Wav w = readWav(wav);
    QVERIFY(w.opened);
    QCOMPARE(w.frames * 4, dataBytes);
    QVERIFY(w.frames > 48000);
    QVERIFY2(tmp.speechFolders().isEmpty(), qPrintable(tmp.speechFolders().join(' ')));
  }

  // Even a host that is killed outright leaves a file whose header counts
  // what was written, give or take the last write.
  void wavHeaderKeepsUpWithTheRecording() {
    PrivateTmp tmp;
    const QString wav = tmp.path + "/killed.wav";
    QProcess p;
    p.setProcessEnvironment(tmp.env());
    p.start(qEnvironmentVariable("GLIMM_HOST"), {"--no-window", "--text", kLongText, "--speak", "--wav", wav});
    QVERIFY(p.waitForStarted());
    const bool grew = QTest::qWaitFor([&] { return QFileInfo(wav).size() > 48000 * 4; }, 60000);
    p.kill();
    p.waitForFinished();
    QVERIFY(grew);
    const auto [dataBytes, dataAt] = wavDataChunk(wav);
    const long long onDisk = QFileInfo(wav).size() - dataAt;
    QVERIFY2(dataBytes > 48000 * 2 && dataBytes <= onDisk && onDisk - dataBytes <= 256 * 16 * 4,
             qPrintable(QStringLiteral("header %1, file %2").arg(dataBytes).arg(onDisk)));
  }

  // --render writes what a real-time recording holds of the utterance: as
  // long, at the same pitch, only without the silence around it.
  void rendersWhatARealTimeRunRecords_data() {
    QTest::addColumn<QStringList>("settings");
    QTest::newRow("default") << QStringList{};
    QTest::newRow("fast and high") << QStringList{"--set", "speed=180", "--set", "pitch=220"};
    QTest::newRow("slow and low, 22050 Hz") << QStringList{"--set", "speed=60", "--set", "pitch=30", "--rate", "22050"};
  }
  void rendersWhatARealTimeRunRecords() {
    QFETCH(QStringList, settings);
    PrivateTmp tmp;
    const QString text = "Offline rendering should sound like the real thing.";
    const QString live = tmp.path + "/live.wav", offline = tmp.path + "/offline.wav";
    Run r =
        runHost(QStringList{"--no-window", "--text", text, "--speak", "--wav", live, "--quit-after-speech"} + settings,
                tmp.env(), 120000);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    r = runHost(QStringList{"--render", offline, "--text", text} + settings, tmp.env(), 120000);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));

    const Wav a = readWav(live), b = readWav(offline);
    QVERIFY(a.opened && b.opened);
    QCOMPARE(b.rate, a.rate);
    const std::vector<float> x = trimmed(a.left), y = trimmed(b.left);
    QVERIFY2(x.size() > size_t(a.rate), qPrintable(QString::number(x.size())));
    // Within one device block: the real-time render may lose or gain a little
    // at either end, the offline one nothing in between.
    QVERIFY2(std::llabs((long long)x.size() - (long long)y.size()) <= 256,
             qPrintable(QStringLiteral("real time %1, offline %2 frames").arg(x.size()).arg(y.size())));
    const double zx = zeroCrossingRate(x, a.rate), zy = zeroCrossingRate(y, b.rate);
    QVERIFY2(std::fabs(zx - zy) < 0.02 * zx, qPrintable(QStringLiteral("zero crossings %1 vs %2 /s").arg(zx).arg(zy)));
    // No gaps where the synthesiser was behind: the audible stretches match.
    const auto sa = audibleStretches(x, a.rate), sb = audibleStretches(y, b.rate);
    QCOMPARE(sb.size(), sa.size());
    // Nothing is left behind either.
    QVERIFY2(tmp.speechFolders().isEmpty(), qPrintable(tmp.speechFolders().join(' ')));
  }

  void renderSaysWhenThereIsNothingToSpeak_data() {
    QTest::addColumn<QStringList>("text");
    QTest::newRow("no text") << QStringList{};
    QTest::newRow("spaces and controls") << QStringList{"--text", "  \t \x01\x1b  \x7f "};
  }
  void renderSaysWhenThereIsNothingToSpeak() {
    QFETCH(QStringList, text);
    QTemporaryDir dir;
    const Run r = runHost(QStringList{"--render", dir.filePath("none.wav")} + text);
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains("nothing to speak"), qPrintable(r.err));
  }

  // An audio file that cannot be made is named, whichever option asked for it.
  void namesAnUnwritableAudioFile_data() {
    QTest::addColumn<QString>("option");
    QTest::newRow("--wav") << "--wav";
    QTest::newRow("--render") << "--render";
  }
  void namesAnUnwritableAudioFile() {
    QFETCH(QString, option);
    const QString path = "/nonexistent/place/out.wav";
    QStringList args{"--no-window", "--text", "hi", "--speak", "--quit-after-speech", option, path};
    const Run r = runHost(args);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("cannot write " + path + ": No such file or directory"), qPrintable(r.err));
  }

  // A recording that stops fitting on the disk is a failure, said as such,
  // not a truncated file and exit status 0. A file size limit stands in for
  // the full disk.
  void aWavThatCannotBeWrittenFails() {
    PrivateTmp tmp;
    const QString wav = tmp.path + "/limited.wav";
    QProcess p;
    p.setProcessEnvironment(tmp.env());
    p.setChildProcessModifier([] {
      ::signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails with EFBIG instead
      const rlimit limit = {200000, 200000};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    p.start(qEnvironmentVariable("GLIMM_HOST"),
            {"--no-window", "--text", kLongText, "--speak", "--wav", wav, "--quit-after-speech"});
    QVERIFY(p.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 1, qPrintable(err));
    QVERIFY2(err.contains("cannot write " + wav + ": File too large"), qPrintable(err));
    QVERIFY(QFileInfo(wav).size() <= 200000);
  }

  // --list-devices prints exactly the names --device takes; an unknown one
  // is named with the way to list them. A private JACK server with a dummy
  // driver is the one device this machine is sure to have.
  void choosesTheAudioDeviceByName() {
    const QString server = QStringLiteral("glimmhostdev%1").arg(QCoreApplication::applicationPid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("JACK_DEFAULT_SERVER", server);
    env.insert("JACK_NO_START_SERVER", "1");
    QProcess jack;
    jack.setProcessEnvironment(env);
    jack.start("jackd", {"-n", server, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"});
    QVERIFY2(jack.waitForStarted(), "jackd is missing (Debian package jackd2)");
    auto stopJack = qScopeGuard([&] {
      jack.terminate();
      jack.waitForFinished();
    });
    QProcess wait;
    wait.setProcessEnvironment(env);
    wait.start("jack_wait", {"-w", "-t", "10"});
    QVERIFY(wait.waitForFinished(15000) && wait.exitCode() == 0);

    Run r = runHost({"--list-devices"}, env);
    QCOMPARE(r.exitCode, 0);
    const QStringList names = r.out.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(names.contains("system"), qPrintable(r.out));
    for (const QString& name : names) {
      r = runHost({"--no-window", "--device", name, "--text", "hi", "--speak", "--quit-after-speech"}, env);
      QVERIFY2(r.exitCode == 0, qPrintable(name + ": " + r.err));
      QVERIFY2(!r.err.contains("no audio output device") && !r.err.contains("would not open"), qPrintable(r.err));
    }
    r = runHost({"--no-window", "--device", "nonesuch", "--text", "hi", "--speak", "--quit-after-speech"}, env);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("\"nonesuch\"") && r.err.contains("--list-devices"), qPrintable(r.err));
  }

  // Normal use says only what the host has to say: no platform chatter, on
  // the offscreen platform either (with a runtime folder, as a session has).
  void stderrCarriesOnlyTheHostsOwnMessages_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("window, offscreen") << QStringList{"--screenshot", "SHOT"};
    QTest::newRow("no window") << QStringList{"--no-window"};
  }
  void stderrCarriesOnlyTheHostsOwnMessages() {
    QFETCH(QStringList, args);
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("QT_LOGGING_RULES");
    args.replaceInStrings("SHOT", runtime.filePath("shot.png"));
    const Run r = runHost(args + QStringList{"--text", "hi", "--speak", "--quit-after-speech"}, env);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    for (const QString& line : r.err.split('\n', Qt::SkipEmptyParts))
      QVERIFY2(line.startsWith("glimm-host: "), qPrintable(r.err));
  }

  // The README's option and exit status tables say what --help says.
  void helpAndReadmeAgree() {
    const Run r = runHost({"--help"});
    QCOMPARE(r.exitCode, 0);
    QFile file(qEnvironmentVariable("GLIMM_README"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString readme = QString::fromUtf8(file.readAll());
    const int from = readme.indexOf("\n## glimm-host"), to = readme.indexOf("\n## ", from + 1);
    QVERIFY(from >= 0 && to > from);
    const QString section = readme.mid(from, to - from);
    auto collect = [](const QString& text, const char* pattern) {
      QStringList found;
      for (const auto& m : QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text))
        found << m.captured(1);
      found.sort();
      return found;
    };
    const QStringList helpOptions = collect(r.out, R"(^  (--[a-z-]+|-h))");
    QCOMPARE(collect(section, R"(^\| `(--[a-z-]+))"), collect(r.out, R"(^  (--[a-z-]+))"));
    QVERIFY(helpOptions.size() >= 17);
    QCOMPARE(collect(section, R"(^\| (\d+) \|)"), collect(r.out.mid(r.out.indexOf("Exit status")), R"(^  (\d+) )"));
  }

  void printsItsVersion() {
    const Run r = runHost({"--version"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, "glimm-host " + qEnvironmentVariable("GLIMM_VERSION") + "\n");
    QVERIFY(!qEnvironmentVariable("GLIMM_VERSION").isEmpty());
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
