// A lyric as a keyboard sings it: one syllable per note. Pure text work,
// free of the synthesiser; any thread but the render thread. Which syllable
// a note sings is worked out in the synthesis process (synthesis/SungLyric.h).
//
// How a lyric is written (text and phonetic mode alike):
//   - words are separated by white space; punctuation around a word is dropped
//     (in phonetic mode only the marks that end a phrase);
//   - a hyphen inside a word marks its syllables: "won-der-ful" is three notes,
//     each part sung as written;
//   - a word without a hyphen is split into syllables by the synthesiser's
//     own pronunciation (LyricItem::split); one of more than kSplitMaxBytes is
//     sung whole on one note;
//   - "+" alone continues the last syllable's vowel onto the next note (a
//     melisma: the pitch moves, no new consonant); one with nothing before it
//     is dropped;
//   - a word that is nothing but hyphens or punctuation is a rest and skipped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace glimm {

struct LyricItem {
  std::string text;      // never empty
  bool split = false;    // a whole word, to be split into its syllables
  bool melisma = false;  // continues the syllable before it (text repeats it)
};

constexpr size_t kSplitMaxBytes = 48;

// The lyric's items in order; `prepared` is text from prepareSpeechText.
std::vector<LyricItem> parseLyric(const std::string& prepared, bool phonetic);

// The items as a sung job carries them to the synthesis process: one a line,
// a kind letter ('p' a part sung as written, 's' a word to split, '+' a
// melisma) and the text (in phonetic mode made safe by phonemeText).
std::string encodeLyric(const std::vector<LyricItem>& items, bool phonetic);

}  // namespace glimm
