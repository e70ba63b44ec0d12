// The synthesis engine on its own: text preparation, the lock-free ring and
// speech rendered straight from a voice.
#include "SynthesisProcess.h"
#include "SynthesisProtocol.h"
#include "ProcessProbe.h"
#include "SpeechAnalysis.h"
#include "SpeechVoice.h"
#include "SpeechText.h"
#include "Lyric.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>

extern char** environ;

namespace {

// Renders until the voice is idle (or `maxSeconds` of audio), in host-sized blocks.
std::vector<float> renderAll(SpeechVoice& v, double maxSeconds = 30) {
  std::vector<float> out;
  float block[512];
  const size_t limit = size_t(maxSeconds * v.sampleRate());
  int idle = 0;
  while (out.size() < limit) {
    const size_t n = v.render(block, 512);
    out.insert(out.end(), block, block + n);
    if (n == 0) {
      if (!v.busy() && ++idle > 3) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return out;
}

std::vector<float> say(const char* text, SpeechSettings s = {}, double rate = 48000) {
  auto v = SpeechVoice::create(rate);
  v->speak(glimm::prepareSpeechText(text, 511), s);
  auto out = renderAll(*v);
  v->detach();
  return out;
}

// Records the deferred work the engine hands over.
struct Client final : SpeechVoiceClient {
  std::atomic<uint32_t> flags{0};
  std::atomic<int> calls{0};
  void serviceDeferred(uint32_t f) override {
    flags.fetch_or(f);
    ++calls;
  }
};

template <typename Pred>
bool waitFor(Pred done, int ms) {
  for (int i = 0; i < ms && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

std::vector<std::string> environment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
}

// A message as the synthesis process would frame it, with any length claimed.
QByteArray message(uint32_t type, uint32_t claimed, const QByteArray& payload) {
  QByteArray m(reinterpret_cast<const char*>(&type), 4);
  m.append(reinterpret_cast<const char*>(&claimed), 4);
  return m + payload;
}

QByteArray u32(uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); }

QByteArray hello(uint32_t version = glimm::protocol::kVersion) {
  return message(glimm::protocol::Hello, 8, u32(version) + u32(22050));
}

QByteArray voices(uint32_t count, const QByteArray& entries) {
  const QByteArray p = u32(count) + entries;
  return message(glimm::protocol::Voices, uint32_t(p.size()), p);
}

// A stand-in for the synthesis program: it counts its starts, sends `bytes`
// and stays until it is killed (or, with nothing to send, ends at once).
QString fakeProgram(const QTemporaryDir& dir, const QByteArray& bytes) {
  QFile data(dir.filePath("data"));
  data.open(QIODevice::WriteOnly);
  data.write(bytes);
  data.close();
  const QString path = dir.filePath("program");
  QFile script(path);
  script.open(QIODevice::WriteOnly);
  script.write(QString("#!/bin/sh\necho start >> '%1'\ncat '%2' >&3\n%3\n")
                   .arg(dir.filePath("starts"), dir.filePath("data"), bytes.isEmpty() ? "" : "exec sleep 30")
                   .toUtf8());
  script.close();
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return path;
}

int starts(const QTemporaryDir& dir) {
  QFile f(dir.filePath("starts"));
  return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

}  // namespace

class TestSpeechEngine : public QObject {
  Q_OBJECT

 private slots:
  void textAllowList() {
    // Characters the synthesiser mishandles become spaces; allowed ones survive.
    QCOMPARE(glimm::prepareSpeechText("a\x01"
                                      "b\rc\x7f",
                                      511),
             std::string("a b c "));
    QCOMPARE(glimm::prepareSpeechText("tab\there\nnext", 511), std::string("tab\there\nnext"));
    QCOMPARE(glimm::prepareSpeechText("\xe1\x87\x9c", 511), std::string(" "));  // U+11DC
    QCOMPARE(glimm::prepareSpeechText("caf\xc3\xa9 \xe2\x82\xac", 511), std::string("caf\xc3\xa9 \xe2\x82\xac"));
    QCOMPARE(glimm::prepareSpeechText("\xe2\x80\x94", 511), std::string("\xe2\x80\x94"));  // em dash
    QCOMPARE(glimm::prepareSpeechText("\xf0\x9f\x98\x80!", 511), std::string(" !"));       // emoji
    QCOMPARE(glimm::prepareSpeechText("\xc2\x85", 511), std::string(" "));                 // C1 control
  }

  void textScriptsTheVoicesRead() {
    // Other scripts than Latin reach the voices unchanged.
    const char* kept[] = {
        "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",                          // Привет
        "\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1",          // Καλημέρα
        "\xe4\xbd\xa0\xe5\xa5\xbd \xe4\xb8\x96\xe7\x95\x8c",                         // 你好 世界
        "\xd8\xb3\xd9\x84\xd8\xa7\xd9\x85",                                          // سلام
        "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d",                                          // שלום
        "\xe0\xa4\xa8\xe0\xa4\xae\xe0\xa4\xb8\xe0\xa5\x8d\xe0\xa4\xa4\xe0\xa5\x87",  // नमस्ते
        "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf",              // こんにちは
        "\xec\x95\x88\xeb\x85\x95",                                                  // 안녕
        "Vi\xe1\xbb\x87t",                                                           // Việt
        "e\xcc\x81t\xc3\xa9",                                                        // decomposed and composed é
    };
    for (const char* t : kept) QCOMPARE(glimm::prepareSpeechText(t, 511), std::string(t));
    // Format marks and separators that other scripts bring along do not.
    QCOMPARE(glimm::prepareSpeechText("\xd8\x80x", 511), std::string(" x"));  // U+0600 Arabic number sign
    QCOMPARE(glimm::prepareSpeechText("a\xe2\x80\x8b"
                                      "b",
                                      511),
             std::string("a b"));  // zero-width space
    QCOMPARE(glimm::prepareSpeechText("a\xe2\x80\xa8"
                                      "b",
                                      511),
             std::string("a b"));                                               // line separator
    QCOMPARE(glimm::prepareSpeechText("\xef\xbb\xbf", 511), std::string(" "));  // byte order mark
    QCOMPARE(glimm::prepareSpeechText("\xe0\xb8\x81", 511), std::string(" "));  // Thai: inside the fault range
    // Digits, signs and unassigned code points of those scripts do not: lone,
    // the engine reads freed memory on many of them.
    QCOMPARE(glimm::prepareSpeechText("\xe0\xa7\xab", 511), std::string(" "));  // Bengali digit five
    QCOMPARE(glimm::prepareSpeechText("\xce\x84", 511), std::string(" "));      // Greek tonos
    QCOMPARE(glimm::prepareSpeechText("\xcd\xb8", 511), std::string(" "));      // unassigned U+0378
    QCOMPARE(glimm::prepareSpeechText("\xe0\xa9\xa6", 511), std::string(" "));  // Gurmukhi digit zero
    QCOMPARE(glimm::prepareSpeechText("\xef\xbc\x8c", 511), std::string(" "));  // full-width comma
  }

  void textInvalidUtf8AndBounds() {
    // Stray 8-bit bytes read as Latin-1; truncated, overlong and surrogate
    // sequences never pass through.
    QCOMPARE(glimm::prepareSpeechText("caf\xe9", 511), std::string("caf\xc3\xa9"));
    QCOMPARE(glimm::prepareSpeechText("\xc0\xaf", 511), std::string("\xc3\x80\xc2\xaf"));
    QCOMPARE(glimm::prepareSpeechText("\xed\xa0\x80", 511), std::string("\xc3\xad\xc2\xa0 "));
    QCOMPARE(glimm::prepareSpeechText("ab\xe2\x82", 511), std::string("ab\xc3\xa2 "));
    // No NUL within the bound: reading stops at the bound.
    char buf[512];
    std::memset(buf, 'x', sizeof buf);
    QCOMPARE(glimm::prepareSpeechText(buf, 511).size(), size_t(511));
    QCOMPARE(glimm::prepareSpeechText("ab\0cd", 5), std::string("ab"));
    QCOMPARE(glimm::prepareSpeechText(nullptr, 5), std::string());
  }

  void randomBytesOnlyYieldAllowedText() {
    // Whatever the bytes, the output is valid UTF-8 made of allowed code points.
    QRandomGenerator rng(1234);
    for (int round = 0; round < 2000; ++round) {
      char buf[64];
      for (char& c : buf) c = char(rng.bounded(256));
      const std::string out = glimm::prepareSpeechText(buf, sizeof buf);
      const QString decoded = QString::fromUtf8(out.data(), qsizetype(out.size()));
      QCOMPARE(decoded.toUtf8(), QByteArray(out.data(), qsizetype(out.size())));  // valid UTF-8
      for (const QChar ch : decoded) {
        const ushort u = ch.unicode();
        // No control, format, private or surrogate character (the soft hyphen
        // aside, which the voices skip), nothing from the engine's fault range.
        const QChar::Category cat = ch.category();
        const bool hidden = cat == QChar::Other_Control || cat == QChar::Other_Format ||
                            cat == QChar::Other_PrivateUse || cat == QChar::Other_Surrogate;
        const bool ok = u == '\t' || u == '\n' || u == 0xAD || (!hidden && !(u >= 0xAE4 && u <= 0x11FF));
        QVERIFY2(ok, qPrintable(QString::number(u, 16)));
      }
    }
    // Every code point of the range that corrupts the engine is replaced.
    for (uint cp = 0xAE4; cp <= 0x11FF; ++cp) {
      const QByteArray utf8 = QString(QChar(char16_t(cp))).toUtf8();
      QCOMPARE(glimm::prepareSpeechText(utf8.constData(), 511), std::string(" "));
    }
  }

  void parameterMapping() {
    using namespace glimm;
    QCOMPARE(espeakPitch(0), 0);
    QCOMPARE(espeakPitch(255), 100);
    QCOMPARE(espeakRate(20), 80);
    QCOMPARE(espeakRate(100), 172);
    QCOMPARE(espeakRate(200), 449);  // 450 would misbehave
    QCOMPARE(formantPercent(128), 100);
    QCOMPARE(formantPercent(0), 50);  // never towards 0 %, which makes noise
    QCOMPARE(formantPercent(255), 199);
    // Sing mode: the slider spans MIDI 36..84 evenly.
    QCOMPARE(noteForPitch(0), 36.0);
    QCOMPARE(noteForPitch(255), 84.0);
    QVERIFY(std::fabs(noteForPitch(128) - 60.0) < 0.2);
    // The engine's whole Hz are within 15 cents of every note from 36 to 84,
    // and the playback rate makes up the rest.
    for (int note = 36; note <= 84; ++note) {
      QVERIFY(std::fabs(1200 * std::log2(singHz(note) / hzForNote(note))) < 15);
      QVERIFY(std::fabs(singHz(note) * singRatio(note) - hzForNote(note)) < 1e-9);
    }
    // Notes the engine cannot hold are kept in its range.
    QCOMPARE(singHz(0), singHz(24));
    QCOMPARE(singHz(127), singHz(96));
    QVERIFY(std::fabs(hzForNote(69) - 440.0) < 1e-9);
  }

  // A lyric written for a keyboard, hostile ones included: every item has
  // text, and what cannot be sung is dropped.
  void lyricItems() {
    using glimm::LyricItem;
    auto items = [](const std::string& text, bool phonetic = false) {
      QStringList out;
      for (const LyricItem& i : glimm::parseLyric(glimm::prepareSpeechText(text.data(), text.size()), phonetic))
        out << (i.melisma ? "+" : i.split ? "~" : "") + QString::fromStdString(i.text);
      return out.join(' ');
    };
    // Hyphens mark syllables sung as written; whole words are split later.
    QCOMPARE(items("won-der-ful, beautiful!"), QString("won der ful ~beautiful"));
    QCOMPARE(items("la + + la-+"), QString("~la +la +la la +la"));
    QCOMPARE(items("w'Vn-d3-f@L h@l'oU.", true), QString("w'Vn d3 f@L ~h@l'oU"));
    // Hostile: nothing, only hyphens and rests, "+" first, empty parts.
    QCOMPARE(items(""), QString());
    QCOMPARE(items(" - -- --- , ; "), QString());
    QCOMPARE(items("+ + la"), QString("~la"));
    QCOMPARE(items("-la- la--la"), QString("la la la"));
    // One word of 511 bytes is sung whole; bytes that are not UTF-8 are read as Latin-1.
    QCOMPARE(items(std::string(511, 'a')), QString(511, 'a'));
    QCOMPARE(items("caf\xe9-\xff"), QString::fromUtf8("caf\xc3\xa9 \xc3\xbf"));
  }

  void lyricWordsAndPhonemeText() {
    using W = std::vector<std::string>;
    // Rests (punctuation on its own) are skipped, punctuation round a word dropped.
    QCOMPARE(glimm::lyricWords("Twinkle, twinkle - little \"star\"!\n ,", false),
             (W{"Twinkle", "twinkle", "little", "star"}));
    QCOMPARE(glimm::lyricWords("don't caf\xc3\xa9", false), (W{"don't", "caf\xc3\xa9"}));
    QCOMPARE(glimm::lyricWords(" , ; ", false), W{});
    // Phoneme symbols such as ' and @ belong to the word.
    QCOMPARE(glimm::lyricWords("h@l'oU, w'3:ld.", true), (W{"h@l'oU", "w'3:ld"}));
    // Long phoneme words are broken up; nothing else changes.
    QCOMPARE(glimm::phonemeText("h@l'oU w'3:ld"), std::string("h@l'oU w'3:ld"));
    const std::string broken = glimm::phonemeText(std::string(200, 'w'));
    QCOMPARE(broken.size(), size_t(200 + 4));
    size_t run = 0, longest = 0;
    for (char c : broken) longest = std::max(longest, run = c == ' ' ? 0 : run + 1);
    QVERIFY(longest <= 48);
  }

  void ringWrapAndDiscard() {
    SpscRing ring(8);
    float in[6] = {1, 2, 3, 4, 5, 6}, out[8] = {};
    QCOMPARE(ring.write(in, 6), size_t(6));
    QCOMPARE(ring.read(out, 4), size_t(4));
    QCOMPARE(ring.write(in, 6), size_t(6));  // wraps
    QCOMPARE(ring.write(in, 1), size_t(0));  // full
    QCOMPARE(ring.read(out, 8), size_t(8));
    const float expected[8] = {5, 6, 1, 2, 3, 4, 5, 6};
    QVERIFY(std::memcmp(out, expected, sizeof out) == 0);
    ring.write(in, 3);
    ring.discardWritten();
    QCOMPARE(ring.readable(), size_t(0));
    ring.write(in + 3, 2);
    QCOMPARE(ring.read(out, 8), size_t(2));
    QCOMPARE(out[0], 4.0f);
  }

  // The first test to speak, so the engine starts inside it.
  void speaksAndKeepsLocale() {
    std::setlocale(LC_CTYPE, "C");  // espeak-ng's initialisation would switch it to UTF-8
    const std::string before = std::setlocale(LC_ALL, nullptr);
    const std::vector<std::string> env = environment();
    QCOMPARE(glimm::engineProcessId(), pid_t(0));
    auto out = say("Hello world");
    QVERIFY(analysis::peak(out) > 0.05);
    QVERIFY(analysis::peak(out) <= 1.0);
    const double secs = analysis::activeSeconds(out, 48000);
    QVERIFY2(secs > 0.4 && secs < 3, qPrintable(QString::number(secs)));
    QCOMPARE(std::string(std::setlocale(LC_ALL, nullptr)), before);
    QVERIFY(environment() == env);
    QVERIFY(glimm::engineProcessId() > 0);
  }

  // The synthesis process dies mid-utterance (killed, as a fault in the
  // engine would end it): that utterance breaks off, the voice stays usable
  // and the next one speaks from a new process. The dead one is reaped, and
  // the new one holds no descriptor of this process but its socket.
  void processDeathCostsOneUtterance() {
    std::string text;
    for (int i = 0; i < 12; ++i) text += "This sentence keeps the voice busy for a while. ";
    const std::string prepared = glimm::prepareSpeechText(text.c_str(), 511);
    const double whole = analysis::activeSeconds(say(prepared.c_str()), 48000);
    const std::vector<std::string> env = environment();
    const int inherited = ::open("/dev/zero", O_RDONLY);  // no close-on-exec, as a careless host's
    QVERIFY(inherited >= 0);

    // At 192 kHz the utterance outgrows the ring: the process waits, mid-job.
    auto v = SpeechVoice::create(192000);
    v->speak(prepared, SpeechSettings{});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    QVERIFY(v->busy());
    const pid_t first = glimm::engineProcessId();
    QVERIFY(first > 0);
    QCOMPARE(::kill(first, SIGKILL), 0);
    const auto cut = renderAll(*v, 120);
    QVERIFY(!v->busy());
    const double cutSecs = analysis::activeSeconds(cut, 192000);
    QVERIFY2(cutSecs < 0.8 * whole, qPrintable(QString("%1 s of %2 s").arg(cutSecs).arg(whole)));

    v->speak(glimm::prepareSpeechText("Hello again", 511), SpeechSettings{});
    const auto next = renderAll(*v);
    QVERIFY2(analysis::activeSeconds(next, 192000) > 0.4, "the next utterance is silent");
    v->detach();
    const pid_t second = glimm::engineProcessId();
    QVERIFY(second > 0 && second != first);
    QVERIFY(!probe::exists(first));
    QCOMPARE(probe::children().size(), size_t(1));

    const std::map<int, std::string> fds = probe::descriptors(second);
    QVERIFY(fds.size() >= 4);
    for (const auto& [fd, target] : fds) {
      const bool expected = fd <= 2 || (fd == glimm::protocol::kSocketFd && target.rfind("socket:", 0) == 0) ||
                            target.rfind("/memfd:", 0) == 0;
      QVERIFY2(expected, qPrintable(QString("%1 -> %2").arg(fd).arg(QString::fromStdString(target))));
    }
    QCOMPARE(fds.at(0), std::string("/dev/null"));
    QCOMPARE(fds.at(1), std::string("/dev/null"));
    ::close(inherited);
    QVERIFY(environment() == env);
  }

  // A synthesis process that stops answering mid-job (stopped, as a hang in
  // the synthesiser would leave it) is killed once the hang limit has passed:
  // that utterance is lost and the next one speaks from a new process. The
  // limit is shortened for this test's own run (ctest's speech_engine_hang).
  void hungProcessIsReplaced() {
    const char* limitMs = std::getenv("GLIMM_SYNTHESIS_HANG_MS");
    const auto limit = std::chrono::milliseconds(limitMs ? std::atol(limitMs) : 10000);
    auto v = SpeechVoice::create(48000);
    v->speak(glimm::prepareSpeechText("Hello", 511), SpeechSettings{});
    QVERIFY(analysis::activeSeconds(renderAll(*v), 48000) > 0.1);
    const pid_t first = glimm::engineProcessId();
    QVERIFY(first > 0);
    QCOMPARE(::kill(first, SIGSTOP), 0);
    const auto asked = std::chrono::steady_clock::now();
    v->speak(glimm::prepareSpeechText("Nobody hears this", 511), SpeechSettings{});
    while (probe::exists(first) && std::chrono::steady_clock::now() - asked < limit + std::chrono::seconds(5))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    QVERIFY2(!probe::exists(first), "the hung process is still there");
    QVERIFY2(took >= limit && took < limit + std::chrono::seconds(2), qPrintable(QString::number(took.count())));
    QVERIFY2(analysis::activeSeconds(renderAll(*v), 48000) < 0.05, "the hung utterance sounded");

    v->speak(glimm::prepareSpeechText("Hello again", 511), SpeechSettings{});
    QVERIFY2(analysis::activeSeconds(renderAll(*v), 48000) > 0.4, "the next utterance is silent");
    const pid_t second = glimm::engineProcessId();
    QVERIFY(second > 0 && second != first);
    v->detach();
  }

  // A stop while the process is mid-job (held by a full ring) reaches it as a
  // cancel: the same process speaks the next utterance at once.
  void stopCancelsInTheProcess() {
    std::string text;
    for (int i = 0; i < 12; ++i) text += "This sentence keeps the voice busy for a while. ";
    auto v = SpeechVoice::create(192000);
    v->speak(glimm::prepareSpeechText(text.c_str(), 511), SpeechSettings{});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    QVERIFY(v->busy());
    const pid_t pid = glimm::engineProcessId();
    QVERIFY(pid > 0);
    v->silence();
    v->speak(glimm::prepareSpeechText("Hello again", 511), SpeechSettings{});
    const auto next = renderAll(*v);
    const double secs = analysis::activeSeconds(next, 192000);
    QVERIFY2(secs > 0.4 && secs < 3, qPrintable(QString::number(secs)));
    QCOMPARE(glimm::engineProcessId(), pid);
    v->detach();
  }

  // A program that breaks the protocol: what it claims is refused before
  // anything is allocated for it, it is killed and reaped, and a start that
  // failed is not tried again at once.
  void brokenProcessIsRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("a greeting of 2 GB") << message(glimm::protocol::Hello, 0x7fffffff, {});
    QTest::newRow("another version") << hello(glimm::protocol::kVersion + 1);
    QTest::newRow("a greeting too long") << message(glimm::protocol::Hello, 12,
                                                    u32(glimm::protocol::kVersion) + u32(22050) + u32(0));
    QTest::newRow("samples first") << message(glimm::protocol::Samples, 6, u32(1) + "ab");
    QTest::newRow("a message it may not send") << message(glimm::protocol::Job, 0, {});
  }

  void brokenProcessIsRefused() {
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    SynthesisProcess p(fakeProgram(dir, bytes).toStdString());
    QVERIFY(!p.ensure());
    QVERIFY(!p.running());
    QCOMPARE(starts(dir), 1);
    QVERIFY(!p.ensure());
    QCOMPARE(starts(dir), 1);
    for (const auto& [pid, state] : probe::children()) QCOMPARE(pid, glimm::engineProcessId());
  }

  // A voice list that claims more than it holds.
  void brokenVoiceListEndsTheProcess_data() {
    QTest::addColumn<QByteArray>("list");
    QTest::newRow("four billion voices") << voices(0xffffffff, {});
    QTest::newRow("a name past the end") << voices(1, u32(1000) + "de");
    QTest::newRow("a name of 4 GB") << voices(1, u32(0xffffffff));
    QTest::newRow("a list of 2 GB") << message(glimm::protocol::Voices, 0x7fffffff, u32(1));
    QTest::newRow("samples instead") << message(glimm::protocol::Samples, 6, u32(1) + "ab");
  }

  void brokenVoiceListEndsTheProcess() {
    QFETCH(QByteArray, list);
    QTemporaryDir dir;
    SynthesisProcess p(fakeProgram(dir, hello() + list).toStdString());
    QVERIFY(p.ensure());
    const pid_t pid = p.processId();
    std::vector<SpeechVoiceInfo> got;
    QVERIFY(!p.listVoices(got));
    QVERIFY(got.empty());
    QVERIFY(!p.running());
    QVERIFY(!probe::exists(pid));
  }

  // After a good greeting and voice list, a chunk that claims too much or
  // splits a sample.
  void brokenChunkEndsTheProcess_data() {
    QTest::addColumn<QByteArray>("chunk");
    QTest::newRow("4 GB") << message(glimm::protocol::Samples, 0xfffffff0, u32(1));
    QTest::newRow("half a sample") << message(glimm::protocol::Samples, 7, u32(1) + "abc");
    QTest::newRow("an end too short") << message(glimm::protocol::End, 4, u32(1));
  }

  void brokenChunkEndsTheProcess() {
    QFETCH(QByteArray, chunk);
    QTemporaryDir dir;
    const QByteArray voice = u32(2) + "de" + u32(6) + "gmw/de" + u32(6) + "German" + u32(2) + "de";
    SynthesisProcess p(fakeProgram(dir, hello() + voices(1, voice) + chunk).toStdString());
    QVERIFY(p.ensure());
    QCOMPARE(p.sampleRate(), 22050);
    std::vector<SpeechVoiceInfo> got;
    QVERIFY(p.listVoices(got));
    QCOMPARE(got.size(), size_t(1));
    QCOMPARE(got[0].identifier, std::string("gmw/de"));
    QCOMPARE(got[0].description, std::string("German"));
    const pid_t pid = p.processId();
    uint32_t id = 0;
    std::vector<int16_t> samples;
    SynthesisProcess::Event e;
    while ((e = p.next(-1, std::chrono::milliseconds(5000), id, samples)) == SynthesisProcess::Event::Timeout) {
    }
    QCOMPARE(int(e), int(SynthesisProcess::Event::Died));
    QVERIFY(!p.running());
    QVERIFY(samples.size() < 1000);
    QVERIFY(!probe::exists(pid));
  }

  // The render side posts without a system call while audio runs; the
  // worker, watching, picks the post up. After half a second without a
  // render call the worker sleeps, and a post must still wake it.
  void renderSidePostsReachTheWorker() {
    Client client;
    auto v = SpeechVoice::create(48000, &client);
    std::atomic<bool> rendering{true};
    std::thread audio([&] {
      float block[256];
      while (rendering) {
        v->render(block, 256);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (uint32_t bit : {1u, 2u, 4u}) {
      v->postDeferred(bit);
      QVERIFY(waitFor([&] { return (client.flags.load() & bit) != 0; }, 500));
    }
    rendering = false;
    audio.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    v->postDeferred(8);
    QVERIFY(waitFor([&] { return (client.flags.load() & 8) != 0; }, 500));
    v->detach();
  }

  // A text longer than the ring at a high rate: the worker waits for room
  // while nothing renders for a second, and goes on once rendering does.
  void fullRingWaitsForRoom() {
    auto v = SpeechVoice::create(192000);
    std::string text;
    for (int i = 0; i < 12; ++i) text += "This sentence keeps the voice busy for a while. ";
    v->speak(glimm::prepareSpeechText(text.c_str(), 511), SpeechSettings{});
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    QVERIFY(v->busy());
    const auto out = renderAll(*v, 120);
    const double secs = double(out.size()) / 192000;
    QVERIFY2(secs > double(SpeechVoice::kRingFrames) / 192000 + 2, qPrintable(QString::number(secs)));
    QVERIFY(analysis::peak(out) > 0.05);
    v->detach();
  }
};

QTEST_GUILESS_MAIN(TestSpeechEngine)
#include "tst_speechengine.moc"
