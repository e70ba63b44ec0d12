// The voice controller without any plug-in format around it: what an LV2
// adaptor relies on as much as the Audio Unit shim does.
#include "VoiceController.h"

#include "SpeechAnalysis.h"

#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

struct Recorder final : VoiceController::Observer {
  struct Call {
    int index;
    std::thread::id thread;
  };
  std::mutex mutex;
  std::vector<Call> calls;
  void parameterChanged(int index) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({index, std::this_thread::get_id()});
  }
  std::vector<Call> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(calls, {});
  }
};

template <typename F>
bool waitFor(F&& done, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Renders in blocks until something audible comes out or time runs out.
double peakOfSpeech(VoiceController& v, int seconds = 10) {
  std::vector<float> block(512);
  double peak = 0;
  waitFor(
      [&] {
        for (int i = 0; i < 50; ++i) {
          const size_t got = v.render(block.data(), block.size());
          for (size_t k = 0; k < got; ++k) peak = std::max(peak, double(std::fabs(block[k])));
        }
        return peak > 0.01;
      },
      seconds * 1000);
  return peak;
}

// A host rendering offline in 256-frame blocks at 48 kHz: each message goes
// in at its own frame, seconds from the start.
struct Message {
  double at;
  uint32_t status, data1, data2;
};
constexpr double kRate = 48000;
constexpr size_t kBlock = 256;

std::vector<float> renderOffline(VoiceController& v, const std::vector<Message>& messages, double seconds) {
  std::vector<float> out(size_t(seconds * kRate / kBlock + 1) * kBlock);
  size_t next = 0;
  for (size_t at = 0; at < out.size(); at += kBlock) {
    for (; next < messages.size() && size_t(messages[next].at * kRate) < at + kBlock; ++next) {
      const Message& m = messages[next];
      v.midi(m.status, m.data1, m.data2, uint32_t(size_t(m.at * kRate) - at));
    }
    v.render(&out[at], kBlock, true);
  }
  return out;
}

// A sung voice at 48 kHz singing `text`.
void startSinging(VoiceController& v, const char* text) {
  QVERIFY(v.start(kRate));
  v.setText(text, std::strlen(text));
  v.setParameter(kGlimmParam_SingMode, 1);
}

double hzForNote(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// The RMS level in dBFS of `seconds` from `from`.
double levelDb(const std::vector<float>& x, double from, double seconds) {
  const size_t a = size_t(from * kRate), n = size_t(seconds * kRate);
  return 20 * std::log10(analysis::rms(&x[a], std::min(n, x.size() - a)) + 1e-9);
}

}  // namespace

class TestVoiceController : public QObject {
  Q_OBJECT
 private slots:
  void parametersClampRefuseAndAnnounce() {
    Recorder rec;
    VoiceController v(&rec);
    for (const GlimmParameterFacts& p : kGlimmParameters) QCOMPARE(v.parameter(p.index), p.defaultValue);
    QVERIFY(v.setParameter(kGlimmParam_Speed, 500));
    QCOMPARE(v.parameter(kGlimmParam_Speed), 200.f);
    QVERIFY(v.setParameter(kGlimmParam_Speed, -3));
    QCOMPARE(v.parameter(kGlimmParam_Speed), 20.f);
    QVERIFY(!v.setParameter(kGlimmParam_Pitch, NAN));
    QVERIFY(!v.setParameter(kGlimmParam_Pitch, INFINITY));
    QCOMPARE(v.parameter(kGlimmParam_Pitch), 128.f);
    QVERIFY(v.setParameter(kGlimmParam_Mouth, 128));  // unchanged: no announcement
    const auto calls = rec.take();
    QCOMPARE(calls.size(), size_t(2));
    for (const auto& c : calls) {
      QCOMPARE(c.index, int(kGlimmParam_Speed));
      QVERIFY(c.thread == std::this_thread::get_id());
    }
  }

  void textIsCutAndTerminated() {
    VoiceController v(nullptr);
    char out[kGlimmTextBufferSize];
    v.copyText(out);
    QCOMPARE(out[0], '\0');
    const std::string longText(600, 'x');
    v.setText(longText.data(), longText.size());
    std::memset(out, 1, sizeof out);
    v.copyText(out);
    QCOMPARE(std::string(out), std::string(kGlimmTextMaxBytes, 'x'));
    QCOMPARE(out[kGlimmTextBufferSize - 1], '\0');
    const char withNul[] = "ab\0cd";
    v.setText(withNul, sizeof withNul);
    v.copyText(out);
    QCOMPARE(std::string(out), std::string("ab"));
    QCOMPARE(out[3], '\0');  // nothing of the old text survives past the end
    v.setText("hey", 2);
    v.copyText(out);
    QCOMPARE(std::string(out), std::string("he"));
  }

  void needsStartingToSpeak() {
    VoiceController v(nullptr);
    QVERIFY(!v.started());
    QVERIFY(!v.play());
    float block[64];
    QCOMPARE(v.render(block, 64), size_t(0));
    QVERIFY(v.midi(0x90, 60, 100) == VoiceController::MidiResult::NotStarted);  // speech mode too
    v.setParameter(kGlimmParam_SingMode, 1);
    QVERIFY(v.midi(0x90, 60, 100) == VoiceController::MidiResult::NotStarted);
    QVERIFY(v.midi(0x80, 60, 100) == VoiceController::MidiResult::NotStarted);
    QVERIFY(v.midi(0xE0, 0, 64) == VoiceController::MidiResult::NotStarted);
    QVERIFY(v.midi(0xFA, 0, 0) == VoiceController::MidiResult::NotStarted);  // MIDI Start
    QVERIFY(v.midi(0xF8, 0, 0) == VoiceController::MidiResult::Ignored);     // clock
    // Not for the voice, or malformed: running status, system messages,
    // data bytes with the top bit, a status beyond a byte.
    QVERIFY(v.midi(0x3C, 100, 0) == VoiceController::MidiResult::Ignored);
    QVERIFY(v.midi(0xF0, 0x7E, 0x7F) == VoiceController::MidiResult::Ignored);
    QVERIFY(v.midi(0x90, 0x80, 100) == VoiceController::MidiResult::Ignored);
    QVERIFY(v.midi(0x90, 60, 0xFF) == VoiceController::MidiResult::Ignored);
    QVERIFY(v.midi(0x190, 60, 100) == VoiceController::MidiResult::Ignored);
    QVERIFY(v.midi(0xA0, 60, 100) == VoiceController::MidiResult::Ignored);  // aftertouch
    QVERIFY(v.midi(0xB0, 7, 100) == VoiceController::MidiResult::Ignored);   // volume
  }

  void speaksWhenPlayed() {
    VoiceController v(nullptr);
    QVERIFY(v.start(48000));
    QVERIFY(v.start(48000));  // a second start keeps the voice
    v.setText("hello there", 11);
    QVERIFY(v.play());
    QVERIFY(peakOfSpeech(v) > 0.01);
    v.silence();
    // Silenced: what was queued never comes out.
    std::vector<float> block(4096);
    size_t after = 0;
    for (int i = 0; i < 20; ++i) after += v.render(block.data(), block.size());
    QCOMPARE(after, size_t(0));
    v.stop();
    QVERIFY(!v.started());
    QVERIFY(!v.play());
  }

  // Changes made on the render thread reach the observer from another thread.
  void renderThreadChangesAreAnnouncedElsewhere() {
    Recorder rec;
    VoiceController v(&rec);
    QVERIFY(v.start(48000));
    std::thread::id renderId;
    std::thread render([&] {
      renderId = std::this_thread::get_id();
      float block[64];
      v.render(block, 64);
      v.setParameter(kGlimmParam_Throat, 40);
    });
    render.join();
    QVERIFY(waitFor([&] {
      std::lock_guard<std::mutex> lock(rec.mutex);
      return !rec.calls.empty();
    }));
    const auto calls = rec.take();
    QCOMPARE(calls.size(), size_t(1));
    QCOMPARE(calls[0].index, int(kGlimmParam_Throat));
    QVERIFY(calls[0].thread != renderId);
    QCOMPARE(v.parameter(kGlimmParam_Throat), 40.f);
  }

  // A note sings on its own pitch; the pitch parameter stays the slider's.
  void singModeNoteSingsAndLeavesThePitch() {
    Recorder rec;
    VoiceController v(&rec);
    QVERIFY(v.start(48000));
    v.setText("la", 2);
    v.setParameter(kGlimmParam_SingMode, 1);
    // Before the first render the switch is announced by the worker: wait for it.
    QVERIFY(waitFor([&] {
      std::lock_guard<std::mutex> lock(rec.mutex);
      return !rec.calls.empty();
    }));
    rec.take();
    QVERIFY(v.midi(0x93, 60, 100) == VoiceController::MidiResult::Taken);  // any channel
    QVERIFY(peakOfSpeech(v) > 0.01);
    QCOMPARE(v.parameter(kGlimmParam_Pitch), 128.f);
    QVERIFY(rec.take().empty());
  }

  // A sung vowel lasts as long as its key, from 50 ms to 20 s, at a steady
  // level and pitch; the syllable's end follows the key's release.
  void vowelLastsAsLongAsTheKey() {
    const double latency = double(kBlock) / kRate;
    for (const double held : {0.05, 0.35, 1.5, 20.0}) {
      VoiceController v(nullptr);
      startSinging(v, "la");
      const double on = 0.1, off = on + held;
      const auto out = renderOffline(v, {{on, 0x90, 57, 100}, {off, 0x80, 57, 0}}, off + 0.5);
      // Sound (10-ms frames above -40 dBFS) over the note's span, shifted by the latency.
      size_t frames = 0, loud = 0;
      for (double t = on + latency; t + 0.01 <= off + latency; t += 0.01, ++frames) loud += levelDb(out, t, 0.01) > -40;
      const long first = analysis::firstSound(out);
      long last = long(out.size()) - 1;
      while (last > 0 && std::fabs(out[size_t(last)]) <= 0.01f) --last;
      const QString info = QString("%1 s: sound over %2 of %3 frames, onset %4 ms, end %5 ms after the release")
                               .arg(held)
                               .arg(loud)
                               .arg(frames)
                               .arg((first / kRate - on - latency) * 1000)
                               .arg((last / kRate - off - latency) * 1000);
      QVERIFY2(first >= 0 && std::fabs(first / kRate - on - latency) < 0.005, qPrintable(info));
      if (held < 0.1) {
        // Shorter than the syllable: its onset and a shortened vowel.
        QVERIFY2((last - first) / kRate > 0.15 && (last - first) / kRate < 0.25, qPrintable(info));
        continue;
      }
      QVERIFY2(last / kRate < off + latency + 0.15, qPrintable(info));
      QVERIFY2(loud >= frames * (held > 1 ? 0.9 : 0.85), qPrintable(info));
      // The held vowel: every 10 ms within 2 dB of its mean, on its pitch.
      const double from = on + 0.3, to = off;
      const double mean = levelDb(out, from, to - from);
      for (double t = from; t + 0.01 <= to; t += 0.01)
        QVERIFY2(std::fabs(levelDb(out, t, 0.01) - mean) <= 2.0, qPrintable(info + QString(" at %1 s").arg(t)));
      if (held < 1) continue;
      const std::vector<float> vowel(out.begin() + long(from * kRate),
                                     out.begin() + long(std::min(to, from + 1.0) * kRate));
      const double f0 = analysis::medianF0(vowel, kRate);
      QVERIFY2(std::fabs(analysis::cents(f0, 220.0)) < 3, qPrintable(info + QString(", %1 Hz").arg(f0)));
    }
  }

  // Each key sings the next syllable: hyphens mark them, a word without one
  // is split by its pronunciation, "+" carries the vowel on. The syllables
  // tell themselves apart by how they begin: "se" with a hiss, "ven"/"en"
  // and a melisma voiced.
  void lyricSingsOneSyllablePerNote() {
    auto hiss = [](const char* text, int notes) {
      VoiceController v(nullptr);
      startSinging(v, text);
      std::vector<Message> keys;
      for (int i = 0; i < notes; ++i) {
        keys.push_back({0.1 + 0.5 * i, 0x90, 60, 100});
        keys.push_back({0.5 + 0.5 * i, 0x80, 60, 0});
      }
      const auto out = renderOffline(v, keys, 0.1 + 0.5 * notes);
      std::vector<double> db;
      for (int i = 0; i < notes; ++i) {
        const std::vector<float> part(out.begin() + long((0.1 + 0.5 * i) * kRate),
                                      out.begin() + long((0.55 + 0.5 * i) * kRate));
        const long onset = analysis::firstSound(part);
        db.push_back(onset < 0 ? -200.0
                               : analysis::highBandDb(
                                     std::vector<float>(part.begin() + onset, part.begin() + onset + long(kRate) / 10),
                                     kRate, 3000));
      }
      return db;
    };
    for (const char* text : {"sev-en-teen", "seventeen", "se + sa"}) {
      const std::vector<double> db = hiss(text, 4);
      const QString info = QString("%1: %2 %3 %4 %5 dB").arg(text).arg(db[0]).arg(db[1]).arg(db[2]).arg(db[3]);
      // The fourth key starts the three-syllable lyric again.
      QVERIFY2(db[0] > db[1] + 10 && db[3] > db[1] + 10, qPrintable(info));
      if (text[2] == '+') QVERIFY2(db[2] > db[1] + 10, qPrintable(info));
    }
    // A restart takes the first syllable again: "se" after "se", not "ven".
    {
      VoiceController v(nullptr);
      startSinging(v, "seventeen");
      auto onset = [&](double at) {
        const auto out = renderOffline(v, {{0.0, 0x90, 60, 100}, {0.3, 0x80, 60, 0}}, 0.5);
        const long first = analysis::firstSound(out);
        return first < 0
                   ? -200.0
                   : analysis::highBandDb(
                         std::vector<float>(out.begin() + first, out.begin() + first + long(at * kRate)), kRate, 3000);
      };
      const double first = onset(0.1);
      v.restartLyric();
      const double again = onset(0.1);
      const double next = onset(0.1);
      QVERIFY2(std::fabs(again - first) < 3 && again > next + 10,
               qPrintable(QString("%1 %2 %3 dB").arg(first).arg(again).arg(next)));
    }
    // Nothing singable: silence, no fault.
    for (const std::string& text : {std::string("- -- +"), std::string(511, 'a'), std::string("+ \xff-\xfe-+")}) {
      VoiceController v(nullptr);
      startSinging(v, text.c_str());
      const auto out = renderOffline(v, {{0.0, 0x90, 60, 100}, {0.2, 0x80, 60, 0}, {0.3, 0x90, 62, 100}}, 1.0);
      QVERIFY2((analysis::peak(out) > 0.01) == (text[0] != '-'), qPrintable(QString::fromStdString(text.substr(0, 9))));
    }
  }

  // A key pressed while the last is held joins on legato: no dip of more
  // than 6 dB at the joint, the pitch gliding over the glide time (CC 5),
  // or jumping with portamento off (CC 65).
  void legatoJoinsAndGlides() {
    const double latency = double(kBlock) / kRate;
    for (const bool portamento : {true, false}) {
      VoiceController v(nullptr);
      startSinging(v, "won-der-ful");
      const uint32_t glide = 64;  // about half a second
      const auto out = renderOffline(v,
                                     {{0.0, 0xB0, 5, glide},
                                      {0.0, 0xB0, 65, portamento ? 127u : 0u},
                                      {0.1, 0x90, 60, 100},
                                      {1.1, 0x90, 67, 100},
                                      {1.15, 0x80, 60, 0},
                                      {2.1, 0x90, 64, 100},
                                      {2.15, 0x80, 67, 0},
                                      {3.1, 0x80, 64, 0}},
                                     3.4);
      auto f0At = [&](double t) {
        const std::vector<float> part(out.begin() + long((t + latency) * kRate),
                                      out.begin() + long((t + latency + 0.06) * kRate));
        return analysis::medianF0(part, kRate, 150, 700);
      };
      for (const auto& [joint, from, to] : {std::tuple{1.1, 60, 67}, std::tuple{2.1, 67, 64}}) {
        const double before = levelDb(out, joint + latency - 0.1, 0.1);
        double lowest = 0;
        for (double t = joint + latency; t < joint + latency + 0.15; t += 0.01)
          lowest = std::min(lowest, levelDb(out, t, 0.01) - before);
        // Once the new vowel has taken over, a third of the way through the glide.
        const double mid = analysis::cents(f0At(joint + 0.16), hzForNote(to));
        const double after = analysis::cents(f0At(joint + 0.7), hzForNote(to));
        const QString info =
            QString("%1 -> %2: dip %3 dB, %4 and %5 cents").arg(from).arg(to).arg(-lowest).arg(mid).arg(after);
        QVERIFY2(lowest > -6, qPrintable(info));
        QVERIFY2(std::fabs(after) < 15, qPrintable(info));
        // On its way from the old pitch, or already there.
        if (portamento)
          QVERIFY2(std::fabs(mid) > 100 && std::fabs(mid) < std::fabs(100.0 * (to - from)) - 50, qPrintable(info));
        else
          QVERIFY2(std::fabs(mid) < 15, qPrintable(info));
      }
    }
  }

  // The mod wheel sets a vibrato of up to 100 cents at about 5.5 Hz; RPN 0
  // sets the pitch wheel's range.
  void vibratoAndBendRange() {
    VoiceController v(nullptr);
    startSinging(v, "la");
    const auto out = renderOffline(v,
                                   {{0.0, 0xB0, 1, 127},
                                    {0.1, 0x90, 57, 100},
                                    {2.1, 0xB0, 1, 0},
                                    {2.1, 0xB0, 101, 0},
                                    {2.1, 0xB0, 100, 0},
                                    {2.1, 0xB0, 6, 12},
                                    {2.1, 0xE0, 0x7F, 0x7F}},
                                   2.8);
    std::vector<double> cents;
    for (double t = 0.5; t < 2.0; t += 0.01) {
      const std::vector<float> part(out.begin() + long(t * kRate), out.begin() + long((t + 0.06) * kRate));
      cents.push_back(analysis::cents(analysis::medianF0(part, kRate, 150, 400), 220.0));
    }
    const auto [lo, hi] = std::minmax_element(cents.begin(), cents.end());
    double mean = 0;
    for (double c : cents) mean += c / double(cents.size());
    int rises = 0;
    for (size_t i = 1; i < cents.size(); ++i) rises += cents[i - 1] < mean && cents[i] >= mean;
    const double depth = (*hi - *lo) / 2, rate = rises / 1.5;
    QVERIFY2(depth > 75 && depth < 125 && std::fabs(rate - 5.5) < 0.7 && std::fabs(mean) < 15,
             qPrintable(QString("depth %1 cents, %2 Hz, centred at %3 cents").arg(depth).arg(rate).arg(mean)));
    // The whole wheel up, at a range of 12: an octave.
    const std::vector<float> bent(out.begin() + long(2.3 * kRate), out.begin() + long(2.7 * kRate));
    const double octave = analysis::cents(analysis::medianF0(bent, kRate, 150, 700), 440.0);
    QVERIFY2(std::fabs(octave) < 15, qPrintable(QString("%1 cents from an octave up").arg(octave)));
  }

  // A queue that the render thread never drains fills up and refuses more,
  // without blocking; once drained it takes messages again.
  void midiQueueIsBounded() {
    VoiceController v(nullptr);
    QVERIFY(v.start(48000));
    int taken = 0;
    for (int i = 0; i < 5000; ++i)
      taken += v.midi(0x90, uint32_t(i % 128), 1 + i % 127) == VoiceController::MidiResult::Taken;
    QVERIFY(taken >= 1000 && taken < 5000);
    float block[64];
    v.render(block, 64);
    QVERIFY(v.midi(0x80, 60, 0) == VoiceController::MidiResult::Taken);
  }
};

QTEST_GUILESS_MAIN(TestVoiceController)
#include "tst_voicecontroller.moc"
