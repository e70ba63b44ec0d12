// The synthesis process's side of a sung lyric: which syllable a note sings
// and where in the synthesised word it lies. A lyric job carries the lyric's
// items (Lyric.h) and the note's number; the process counts the syllables of
// each word to be split (by the vowels the synthesiser says, cached), picks
// the note's syllable and cuts it out of its word's audio. Single-threaded:
// the process's main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace glimm {

// A word is split into at most this many syllables.
constexpr int kMaxSyllables = 64;

// A phoneme as the synthesiser's events place it.
struct PhonemeMark {
  uint32_t at = 0;  // its first sample
  bool vowel = false, diphthong = false;
};

// What one note sings: `text` whole (syllable < 0), or one syllable of it;
// a melisma starts at the syllable's vowel.
struct SungEntry {
  std::string text;
  int syllable = -1;
  bool melisma = false;
};

// The samples of a word that one entry sings, and its vowel within them.
struct SungSlice {
  uint32_t begin = 0, end = 0;
  uint32_t vowelBegin = 0, vowelEnd = 0;  // from `begin`; equal: none
  bool diphthong = false;
};

class SungLyric {
 public:
  // Counts a word's syllables (its vowels); the result is kept per word
  // until forget().
  using Counter = std::function<int(const std::string& word)>;

  // The entry for note `number`, wrapping round the lyric (encoded as
  // glimm::encodeLyric makes it); false when it has nothing to sing.
  bool entry(const std::string& encoded, uint32_t number, const Counter& count, SungEntry& out);
  void forget() { m_counts.clear(); }

 private:
  std::map<std::string, int> m_counts;
};

// Where entry `e` lies in its word's audio of `total` samples, from the
// word's phonemes in order.
SungSlice sliceSyllable(const std::vector<PhonemeMark>& phonemes, uint32_t total, const SungEntry& e);

}  // namespace glimm
