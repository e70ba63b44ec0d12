#include "SungSyllable.h"

#include <algorithm>
#include <cmath>

namespace glimm {
namespace {

// Joins audio[..from) to audio[to..), cross-fading over `fade` samples so
// that the join is seamless when to - from is a whole number of periods.
void cut(std::vector<float>& a, size_t from, size_t to, size_t fade) {
  for (size_t i = 0; i < fade; ++i) {
    const float w = float(i + 1) / float(fade + 1);
    a[from + i] = (1 - w) * a[from + i] + w * a[to + i];
  }
  a.erase(a.begin() + long(from + fade), a.begin() + long(to + fade));
}

// Whole periods of `period` that fit in `span` less `keep`, as samples.
size_t wholePeriods(double span, double keep, double period) {
  const double j = std::floor((span - keep) / period);
  return j >= 1 ? size_t(std::lround(j * period)) : 0;
}

}  // namespace

SungLayout layoutSungSyllable(std::vector<float>& a, size_t vowelBegin, size_t vowelEnd, double period, double rate,
                              bool glide) {
  SungLayout out;
  if (!(period >= 2.0) || !(rate > 0) || vowelEnd > a.size() || vowelBegin >= vowelEnd) return out;
  // One period: the loop then repeats at the F0 itself, so it adds no
  // rhythm of its own (a longer one flutters at its length, as the vowel
  // drifts within it); its rate correction makes up for the fraction of a
  // sample it is rounded by.
  const size_t loop = size_t(std::lround(period));
  const size_t fade = size_t(std::lround(period));
  const double span = double(vowelEnd - vowelBegin);
  if (span < double(3 * loop + 2 * fade)) return out;
  // A diphthong is held near its first target, where it changes least.
  size_t c = vowelBegin + size_t(span * (glide ? 0.3 : 0.5));
  c = std::clamp(c, vowelBegin + loop, vowelEnd - loop - fade);

  // The loop ends on what comes before its start: round and round, and on
  // into the rest of the vowel, it plays without a seam.
  std::vector<float> body(loop);
  for (size_t i = 0; i < loop; ++i) {
    const float w = float(i) / float(loop);
    body[i] = (1 - w) * a[c + i] + w * a[c + i - loop];
  }
  // The vowel after the loop, then before it, shortened at whole periods.
  const size_t tailCut = wholePeriods(double(vowelEnd - c), kTail * rate, period);
  if (tailCut > 0 && c + tailCut + fade <= a.size()) cut(a, c, c + tailCut, fade);
  const double keepLead = kLead * rate;
  const size_t leadCut = wholePeriods(double(c - vowelBegin) - double(fade), keepLead, period);
  if (leadCut > 0) {
    const size_t from = vowelBegin + size_t(keepLead / 2);
    if (from + leadCut + fade <= c) {
      cut(a, from, from + leadCut, fade);
      c -= leadCut;
    }
  }
  a.insert(a.begin() + long(c), body.begin(), body.end());
  out.loopStart = out.shortcut = c;
  const double shortFrom = double(vowelBegin) + kShortVowel * rate;
  if (double(c) > shortFrom + period) out.shortcut = c - wholePeriods(double(c) - shortFrom, 0, period);
  out.loopLength = loop;
  out.loopRate = double(loop) / period;
  return out;
}

// A sung word is brought to the RMS of speech at the defaults, since the
// engine's loudness swings by 15 dB and more with the held F0 and the vowel.
constexpr double kSungRms = 0.089;

// The gain that brings a sung utterance, from its first loud sample to its
// last, to kSungRms; silentGain for one with nothing loud.
double sungGain(const std::vector<float>& x, double silentGain) {
  size_t first = x.size(), last = 0;
  for (size_t i = 0; i < x.size(); ++i)
    if (std::fabs(x[i]) > 0.005f) {
      first = std::min(first, i);
      last = i;
    }
  if (first > last) return silentGain;
  double e = 0;
  for (size_t i = first; i <= last; ++i) e += double(x[i]) * x[i];
  return std::clamp(kSungRms / std::sqrt(e / double(last - first + 1)), 0.25, 8.0);
}

}  // namespace glimm
