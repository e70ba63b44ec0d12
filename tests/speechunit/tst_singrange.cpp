// Sung words across the keyboard's range, straight from the synthesis
// process: its raw 16-bit output must never wrap around (the engine's wave
// generator overflows on high notes unless the sing voice is set up for
// them), and every note keeps as much voiced sound as the same word at A4.
#include "SpeechEngine.h"
#include "SynthesisProcess.h"

#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

std::vector<int16_t> sing(SynthesisProcess& p, const char* word, int note) {
  static uint32_t id = 0;
  SynthesisJob job;
  job.id = ++id;
  job.rate = glimm::espeakRate(100);
  job.pitch = glimm::espeakPitch(128);
  job.range = 50;
  job.volume = 50;  // the engine's own
  job.f0 = glimm::singHz(note);
  job.whole = true;
  job.voice = "gmw/en";
  job.text = word;
  std::vector<int16_t> all, chunk;
  if (!p.sendJob(job)) return all;
  uint32_t from = 0;
  for (;;) {
    const auto e = p.next(-1, std::chrono::milliseconds(5000), from, chunk);
    if (e == SynthesisProcess::Event::Samples && from == job.id) all.insert(all.end(), chunk.begin(), chunk.end());
    if (e == SynthesisProcess::Event::End && from == job.id) return all;
    if (e == SynthesisProcess::Event::Died || e == SynthesisProcess::Event::Timeout) return {};
  }
}

// Neighbouring samples further apart than any voice moves: a wrap-around.
int wraps(const std::vector<int16_t>& s) {
  int n = 0;
  for (size_t i = 1; i < s.size(); ++i) n += std::abs(int(s[i]) - int(s[i - 1])) > 30000;
  return n;
}

// Seconds in which the sound repeats at the note's period (normalised
// autocorrelation above 0.8 in 40 ms frames, 10 ms apart, down to 40 dB below
// the loudest frame): a voice, not noise.
double voicedSeconds(const std::vector<int16_t>& s, double rate, double hz) {
  const double period = rate / hz;
  // Some whole number of periods, at least 2 ms, so the lag's rounding is small.
  const double periods = std::ceil(0.002 * rate / period);
  const size_t lag = size_t(std::lround(periods * period));
  const size_t frame = std::max(size_t(0.04 * rate), 2 * lag), hop = size_t(0.01 * rate);
  std::vector<double> energy, correlation;
  for (size_t at = 0; at + frame + lag + 1 < s.size(); at += hop) {
    double best = 0, own = 0;
    for (size_t l = lag - 1; l <= lag + 1; ++l) {
      double xy = 0, xx = 0, yy = 0;
      for (size_t i = at; i < at + frame; ++i) {
        xy += double(s[i]) * s[i + l];
        xx += double(s[i]) * s[i];
        yy += double(s[i + l]) * s[i + l];
      }
      own = xx;
      if (xx > 0 && yy > 0) best = std::max(best, xy / std::sqrt(xx * yy));
    }
    energy.push_back(own);
    correlation.push_back(best);
  }
  const double loudest = energy.empty() ? 0 : *std::max_element(energy.begin(), energy.end());
  int voiced = 0;
  for (size_t i = 0; i < energy.size(); ++i) voiced += energy[i] > loudest * 1e-4 && correlation[i] > 0.8;
  return voiced * 0.01;
}

}  // namespace

class TestSingRange : public QObject {
  Q_OBJECT

 private slots:
  void voicedOnEveryNote() {
    SynthesisProcess p(glimmEngineExecutable());
    QVERIFY(p.ensure());
    const double rate = p.sampleRate();
    QStringList bad;
    int notes = 0, wrapped = 0;
    double worst = 1e9;
    for (const char* word : {"birth", "heart", "sing", "love", "la"}) {
      const std::vector<int16_t> a4 = sing(p, word, 69);
      const double reference = voicedSeconds(a4, rate, glimm::singHz(69));
      QVERIFY2(reference > 0.1, qPrintable(QString("%1 at A4: %2 s voiced").arg(word).arg(reference)));
      for (int note = 36; note <= 84; ++note) {
        const std::vector<int16_t> s = sing(p, word, note);
        QVERIFY2(!s.empty(), word);
        ++notes;
        const int w = wraps(s);
        const double share = voicedSeconds(s, rate, glimm::singHz(note)) / reference;
        worst = std::min(worst, share);
        wrapped += w > 0;
        if (w > 0 || share < 0.7)
          bad << QString("%1@%2: %3 wraps, %4 % voiced").arg(word).arg(note).arg(w).arg(int(share * 100));
      }
    }
    qInfo("%d notes, %d with wraps, voiced share against A4 at least %.0f %%", notes, wrapped, worst * 100);
    QVERIFY2(bad.isEmpty(), qPrintable(bad.join("; ")));
  }
};

QTEST_GUILESS_MAIN(TestSingRange)
#include "tst_singrange.moc"
