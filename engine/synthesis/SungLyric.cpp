#include "SungLyric.h"

#include <algorithm>

namespace glimm {

bool SungLyric::entry(const std::string& encoded, uint32_t number, const Counter& count, SungEntry& out) {
  std::vector<SungEntry> all;
  for (size_t pos = 0; pos < encoded.size();) {
    size_t eol = encoded.find('\n', pos);
    if (eol == std::string::npos) eol = encoded.size();
    if (eol > pos + 1) {
      const char kind = encoded[pos];
      std::string text = encoded.substr(pos + 1, eol - pos - 1);
      if (kind == '+') {
        if (!all.empty()) {
          all.push_back(all.back());
          all.back().melisma = true;
        }
      } else if (kind == 's') {
        auto it = m_counts.find(text);
        if (it == m_counts.end()) it = m_counts.emplace(text, std::clamp(count(text), 1, kMaxSyllables)).first;
        const int n = it->second;
        for (int i = 0; i < n; ++i) all.push_back({text, n > 1 ? i : -1, false});
      } else {
        all.push_back({std::move(text), -1, false});
      }
    }
    pos = eol + 1;
  }
  if (all.empty()) return false;
  out = all[number % all.size()];
  return true;
}

SungSlice sliceSyllable(const std::vector<PhonemeMark>& phonemes, uint32_t total, const SungEntry& e) {
  SungSlice s;
  s.end = total;
  std::vector<size_t> vowels;
  for (size_t i = 0; i < phonemes.size(); ++i)
    if (phonemes[i].vowel) vowels.push_back(i);
  if (vowels.empty()) return s;
  auto at = [&](size_t i) { return std::min(i < phonemes.size() ? phonemes[i].at : total, total); };
  // Between two vowels one consonant begins the next syllable; of a
  // cluster, the first closes this one and the rest begin the next.
  auto boundary = [&](size_t a, size_t b) { return at(b - a - 1 >= 2 ? a + 2 : b - a - 1 == 1 ? a + 1 : b); };
  const size_t k = e.syllable < 0 ? vowels.size() - 1 : std::min(size_t(e.syllable), vowels.size() - 1);
  if (e.syllable >= 0) {
    if (k > 0) s.begin = boundary(vowels[k - 1], vowels[k]);
    if (k + 1 < vowels.size()) s.end = boundary(vowels[k], vowels[k + 1]);
  }
  const uint32_t vb = at(vowels[k]), ve = at(vowels[k] + 1);
  if (e.melisma) s.begin = vb;
  s.begin = std::min(s.begin, vb);
  s.end = std::max(s.end, ve);
  s.vowelBegin = vb - s.begin;
  s.vowelEnd = ve - s.begin;
  s.diphthong = phonemes[vowels[k]].diphthong;
  return s;
}

}  // namespace glimm
