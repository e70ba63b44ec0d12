// Shapes the resampled engine output into what a voice plays. Used by the
// engine thread only.
#pragma once

#include "GlimmContract.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace glimm {

// RBJ biquad, direct form I, in double so low cut-offs at high rates stay stable.
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

  void set(bool highPass, double hz, double q, double rate) {
    const double w = 2 * M_PI * std::min(hz, 0.45 * rate) / rate;
    const double alpha = std::sin(w) / (2 * q), c = std::cos(w), a0 = 1 + alpha;
    if (highPass) {
      b0 = (1 + c) / 2 / a0, b1 = -(1 + c) / a0, b2 = b0;
    } else {
      b0 = (1 - c) / 2 / a0, b1 = (1 - c) / a0, b2 = b0;
    }
    a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    x1 = x2 = y1 = y2 = 0;
  }
  double operator()(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
};

// Shapes the resampled engine output into what the voice plays: the level,
// the small-speaker filter when asked, a soft ceiling below full scale, and
// the silence before the first sound and after the last one cut away (so an
// utterance's first sample is its first audible one, and nothing trails it).
class OutputShaper {
 public:
  void reset(double rate, double gain, bool filter) {
    m_gain = gain;
    m_filter = filter;
    m_started = false;
    m_skipped = 0;
    m_held.clear();
    if (!filter) return;
    // The chip's sound through a television: the set's small speaker loses
    // the bass, the chip runs at about 10 kHz with 8-bit samples, and its
    // output filter rolls off steeply above 3.3 kHz with a gentle peak there.
    m_highPass.set(true, 150, 0.707, rate);
    m_lowPass[0].set(false, 3300, 0.52, rate);
    m_lowPass[1].set(false, 3300, 0.71, rate);
    m_lowPass[2].set(false, 3300, 1.6, rate);
    m_holdStep = std::min(1.0, 10000.0 / rate);
    m_holdPhase = 1.0;
    m_holdValue = 0;
  }

  void setGain(double gain) { m_gain = gain; }
  // How many samples of leading silence have been dropped so far.
  size_t skipped() const { return m_skipped; }

  // Shapes n samples in place and hands what is to be heard to `emit`, in
  // order: leading silence is dropped, a quiet run is held back until
  // something loud follows it. False as soon as `emit` refuses.
  template <typename Emit>
  bool process(float* x, size_t n, Emit&& emit) {
    size_t from = 0;
    for (size_t i = 0; i < n; ++i) {
      const float y = shape(x[i]);
      x[i] = y;
      const bool loud = std::fabs(y) > kGlimmSilence;
      if (!m_started) {
        if (!loud) {
          from = i + 1;
          ++m_skipped;
          continue;
        }
        m_started = true;
      }
      if (!loud) {
        // A quiet run is held back until something loud follows it.
        if (i > from && !emit(x + from, i - from)) return false;
        m_held.push_back(y);
        from = i + 1;
        continue;
      }
      if (!m_held.empty()) {
        if (!emit(m_held.data(), m_held.size())) return false;
        m_held.clear();
      }
    }
    return n <= from || emit(x + from, n - from);
  }

 private:
  float shape(float in) {
    double v = double(in) * m_gain;
    if (m_filter) {
      v = m_highPass(v);
      m_holdPhase += m_holdStep;
      if (m_holdPhase >= 1.0) {
        m_holdPhase -= 1.0;
        m_holdValue = std::round(std::clamp(v, -1.0, 1.0) * 128.0) / 128.0;
      }
      v = m_holdValue;
      for (Biquad& b : m_lowPass) v = b(v);
    }
    // Soft ceiling: untouched up to 0.7, then bent towards 0.99.
    const double a = std::fabs(v);
    if (a > 0.7) v = std::copysign(0.7 + 0.29 * std::tanh((a - 0.7) / 0.29), v);
    return float(v);
  }

  double m_gain = 1;
  bool m_filter = false;
  bool m_started = false;
  size_t m_skipped = 0;
  std::vector<float> m_held;
  Biquad m_highPass, m_lowPass[3];
  double m_holdStep = 1, m_holdPhase = 1, m_holdValue = 0;
};

}  // namespace glimm
