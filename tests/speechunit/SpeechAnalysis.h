// Measurements on rendered speech, tolerant of the small differences between
// two syntheses of the same text.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

namespace analysis {

inline double rms(const float* x, size_t n) {
  double e = 0;
  for (size_t i = 0; i < n; ++i) e += double(x[i]) * x[i];
  return n ? std::sqrt(e / n) : 0.0;
}

inline double peak(const std::vector<float>& x) {
  double p = 0;
  for (float v : x) p = std::max(p, double(std::fabs(v)));
  return p;
}

// Seconds between the first and the last 10-ms frame louder than -40 dBFS.
inline double activeSeconds(const std::vector<float>& x, double rate) {
  const size_t frame = size_t(rate / 100);
  long first = -1, last = -1;
  for (size_t i = 0; i + frame <= x.size(); i += frame) {
    if (rms(&x[i], frame) > 0.01) {
      if (first < 0) first = long(i);
      last = long(i + frame);
    }
  }
  return first < 0 ? 0.0 : double(last - first) / rate;
}

// Index of the first sample louder than `threshold`, or -1.
inline long firstSound(const std::vector<float>& x, double threshold = 0.01) {
  for (size_t i = 0; i < x.size(); ++i)
    if (std::fabs(x[i]) > threshold) return long(i);
  return -1;
}

// Median F0 over strongly periodic 40-ms frames (normalised autocorrelation,
// shortest lag within 90 % of the best, parabolic refinement).
inline double medianF0(const std::vector<float>& x, double rate, double fmin = 60, double fmax = 700) {
  const size_t win = size_t(rate * 0.04);
  const size_t minLag = size_t(rate / fmax), maxLag = size_t(rate / fmin);
  std::vector<double> estimates;
  for (size_t start = 0; start + win + maxLag + 1 < x.size(); start += win / 2) {
    const float* s = &x[start];
    if (rms(s, win) < 0.02) continue;
    std::vector<double> r(maxLag + 2, 0.0);
    double best = 0;
    for (size_t lag = minLag; lag <= maxLag + 1; ++lag) {
      double num = 0, e0 = 0, e1 = 0;
      for (size_t i = 0; i < win; ++i) {
        num += double(s[i]) * s[i + lag];
        e0 += double(s[i]) * s[i];
        e1 += double(s[i + lag]) * s[i + lag];
      }
      r[lag] = num / std::sqrt(e0 * e1 + 1e-12);
      if (lag <= maxLag) best = std::max(best, r[lag]);
    }
    if (best < 0.8) continue;
    for (size_t lag = minLag + 1; lag <= maxLag; ++lag) {
      if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1]) {
        const double a = r[lag - 1], b = r[lag], c = r[lag + 1];
        const double d = a - 2 * b + c;
        const double shift = d != 0 ? 0.5 * (a - c) / d : 0.0;
        estimates.push_back(rate / (double(lag) + shift));
        break;
      }
    }
  }
  if (estimates.empty()) return 0;
  std::nth_element(estimates.begin(), estimates.begin() + estimates.size() / 2, estimates.end());
  return estimates[estimates.size() / 2];
}

inline void fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2 * M_PI / double(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> wn(1);
      for (size_t k = 0; k < len / 2; ++k, wn *= w) {
        const auto u = a[i + k], v = a[i + k + len / 2] * wn;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

// Calls bin(frequency, power) for every bin of every half-overlapping
// Hann-windowed 2048-sample frame whose RMS reaches minRms.
template <typename F>
inline void loudSpectra(const std::vector<float>& x, double rate, double minRms, F&& bin) {
  const size_t n = 2048;
  std::vector<std::complex<double>> buf(n);
  for (size_t start = 0; start + n <= x.size(); start += n / 2) {
    if (rms(&x[start], n) < minRms) continue;
    for (size_t i = 0; i < n; ++i) buf[i] = x[start + i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n)));
    fft(buf);
    for (size_t k = 1; k < n / 2; ++k) bin(double(k) * rate / double(n), std::norm(buf[k]));
  }
}

// Power-weighted mean frequency of the loud frames within [lo, hi] Hz.
inline double spectralCentroid(const std::vector<float>& x, double rate, double lo = 0, double hi = 1e9) {
  double num = 0, den = 0;
  loudSpectra(x, rate, 0.02, [&](double f, double p) {
    if (f < lo || f > hi) return;
    num += p * f;
    den += p;
  });
  return den > 0 ? num / den : 0;
}

inline double cents(double f, double ref) { return 1200.0 * std::log2(f / ref); }

}  // namespace analysis

namespace analysis {

// RMS between the first and the last sample louder than -40 dBFS, in dB.
inline double activeLevelDb(const std::vector<float>& x, size_t from = 0, size_t to = size_t(-1)) {
  to = std::min(to, x.size());
  long first = -1, last = -1;
  for (size_t i = from; i < to; ++i)
    if (std::fabs(x[i]) > 0.01) {
      if (first < 0) first = long(i);
      last = long(i);
    }
  if (first < 0) return -200;
  return 20 * std::log10(rms(&x[size_t(first)], size_t(last - first + 1)) + 1e-12);
}

// Energy above `hz` as a share of all energy, in dB, over loud frames.
inline double highBandDb(const std::vector<float>& x, double rate, double hz) {
  double high = 0, all = 0;
  loudSpectra(x, rate, 0.005, [&](double f, double p) {
    all += p;
    if (f >= hz) high += p;
  });
  return 10 * std::log10((high + 1e-30) / (all + 1e-30));
}

// RMS of each 10-ms frame: the utterance's loudness contour.
inline std::vector<double> envelope(const std::vector<float>& x, double rate) {
  const size_t frame = size_t(rate / 100);
  std::vector<double> e;
  for (size_t i = 0; i + frame <= x.size(); i += frame) e.push_back(rms(&x[i], frame));
  return e;
}

// Pearson correlation of two sequences over their common length.
inline double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const size_t n = std::min(a.size(), b.size());
  if (n < 2) return 0;
  double ma = 0, mb = 0;
  for (size_t i = 0; i < n; ++i) ma += a[i], mb += b[i];
  ma /= double(n), mb /= double(n);
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    ab += (a[i] - ma) * (b[i] - mb);
    aa += (a[i] - ma) * (a[i] - ma);
    bb += (b[i] - mb) * (b[i] - mb);
  }
  return ab / std::sqrt(aa * bb + 1e-30);
}

}  // namespace analysis
