// Which phonemes of a sung job are vowels, from the synthesiser's phoneme
// events in IPA: the engine holds the last vowel for as long as the key.
// Synthesis process only (single-threaded).
#pragma once

#include "Utf8.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace glimm {

// Whether an IPA phoneme name is a vowel (its first letter is one) and a
// diphthong (a second vowel letter follows). Syllabic consonants ("əl")
// count by their vowel.
inline bool ipaVowel(std::string_view ipa, bool* diphthong = nullptr) {
  auto vowelAt = [&](size_t& i) {
    char32_t c = 0;
    const size_t n = utf8::decode(reinterpret_cast<const unsigned char*>(ipa.data()) + i, ipa.size() - i, c);
    if (n == 0) return false;
    i += n;
    if (c < 0x80) return c != 0 && std::strchr("aeiouy", int(c)) != nullptr;
    // Latin-1 vowels with marks (ä, é, ø ...), and the IPA vowel letters.
    if ((c >= 0xE0 && c <= 0xFF && c != 0xE7 && c != 0xF0 && c != 0xF1 && c != 0xF7 && c != 0xFE) || c == 0x153 ||
        c == 0x276 || c == 0x1D7B || c == 0x1D7F)
      return true;
    static constexpr char32_t kIpa[] = {0x250, 0x251, 0x252, 0x254, 0x258, 0x259, 0x25A, 0x25B, 0x25C, 0x25D,
                                        0x25E, 0x264, 0x268, 0x26A, 0x26F, 0x275, 0x289, 0x28A, 0x28C, 0x28F};
    for (char32_t v : kIpa)
      if (c == v) return true;
    // Other Latin vowels with marks (ũ, ə̃ arrive as base + combining mark).
    return c == 0x101 || c == 0x113 || c == 0x12B || c == 0x14D || c == 0x16B || c == 0x1CE || c == 0x1D0 ||
           c == 0x1D2 || c == 0x1D4 || c == 0x169 || c == 0x129 || c == 0x1EBD;
  };
  if (diphthong) *diphthong = false;
  size_t i = 0;
  if (ipa.empty() || !vowelAt(i)) return false;
  while (i < ipa.size()) {
    size_t j = i;
    if (vowelAt(j)) {
      if (diphthong) *diphthong = true;
      break;
    }
    // Skip what is not a letter of interest (length marks, combining marks).
    char32_t c = 0;
    const size_t n = utf8::decode(reinterpret_cast<const unsigned char*>(ipa.data()) + i, ipa.size() - i, c);
    i += n ? n : 1;
  }
  return true;
}

}  // namespace glimm
