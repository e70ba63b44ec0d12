// Bytes as a sung text through the lyric's parser and the synthesis
// process's choice and cut of a syllable: every item has text, the encoded
// lyric reads back as many entries as it names, and every slice lies inside
// its word with its vowel inside the slice. The phoneme events a word's
// synthesis would give are made up from the input too.
#include "fuzzcheck.h"
#include "Lyric.h"
#include "SpeechText.h"
#include "synthesis/SungLyric.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzBytes in(data, size);
  const bool phonetic = in.next() & 1;
  const uint32_t note = in.next32();
  const size_t textSize = std::min<size_t>(size - std::min<size_t>(size, 5), 600);
  const std::string prepared =
      glimm::prepareSpeechText(reinterpret_cast<const char*>(data) + 5 * (size >= 5), textSize);
  const std::vector<glimm::LyricItem> items = glimm::parseLyric(prepared, phonetic);
  for (size_t i = 0; i < items.size(); ++i) {
    require(!items[i].text.empty(), "an item without text");
    require(!items[i].melisma || i > 0, "a melisma with nothing before it");
    require(items[i].text.find_first_of(" \t\n") == std::string::npos, "an item holds white space");
  }
  const std::string encoded = glimm::encodeLyric(items, phonetic);

  // Each word's syllable count from its length, including ones past the cap.
  glimm::SungLyric lyric;
  glimm::SungEntry entry;
  const auto count = [](const std::string& word) { return int(word.size() % 70) - 2; };
  const bool any = lyric.entry(encoded, note, count, entry);
  require(any == !items.empty(), "a lyric with items sang nothing, or one without sang");
  if (!any) return 0;
  require(!entry.text.empty() && entry.syllable < glimm::kMaxSyllables, "an entry out of bounds");

  // Made-up phonemes for the entry's word: ascending, some vowels.
  std::vector<glimm::PhonemeMark> phonemes;
  uint32_t at = 0;
  while (in.more() && phonemes.size() < 64) {
    const uint8_t b = in.next();
    at += b >> 2;
    phonemes.push_back({at, (b & 1) != 0, (b & 2) != 0});
  }
  const uint32_t total = at + in.next();
  const glimm::SungSlice s = glimm::sliceSyllable(phonemes, total, entry);
  require(s.begin <= s.end && s.end <= total, "a slice outside its word");
  require(s.vowelBegin <= s.vowelEnd && s.vowelEnd <= s.end - s.begin, "a vowel outside its slice");
  return 0;
}
