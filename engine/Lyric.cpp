#include "Lyric.h"

#include "SpeechText.h"

#include <cctype>
#include <cstring>

namespace glimm {
namespace {

bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::vector<LyricItem> parseLyric(const std::string& prepared, bool phonetic) {
  // Punctuation that is not part of a syllable: in phonetic mode the other
  // marks are phoneme symbols.
  auto isRest = [phonetic](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    if (phonetic) return c != 0 && std::strchr(",.;:!?\"", c) != nullptr;
    return c < 0x80 && std::ispunct(c) != 0;
  };
  auto trimmed = [&](size_t a, size_t b) {
    while (a < b && isRest(prepared[a])) ++a;
    while (b > a && isRest(prepared[b - 1])) --b;
    return prepared.substr(a, b - a);
  };
  std::vector<LyricItem> items;
  const size_t n = prepared.size();
  for (size_t i = 0; i < n;) {
    while (i < n && space(prepared[i])) ++i;
    size_t end = i;
    while (end < n && !space(prepared[end])) ++end;
    // The word's parts between hyphens; "+" alone is a melisma.
    size_t parts = 0;
    const bool hyphenated = std::memchr(prepared.data() + i, '-', end - i) != nullptr;
    for (size_t a = i; a < end;) {
      size_t b = a;
      while (b < end && prepared[b] != '-') ++b;
      if (b - a == 1 && prepared[a] == '+') {
        if (!items.empty()) items.push_back({items.back().text, false, true});
      } else if (std::string part = trimmed(a, b); !part.empty()) {
        items.push_back({std::move(part), false, false});
        ++parts;
      }
      a = b + 1;
    }
    if (parts == 1 && !hyphenated && items.back().text.size() <= kSplitMaxBytes) items.back().split = true;
    i = end;
  }
  return items;
}

std::string encodeLyric(const std::vector<LyricItem>& items, bool phonetic) {
  std::string out;
  for (const LyricItem& item : items) {
    out += item.melisma ? '+' : item.split ? 's' : 'p';
    out += phonetic ? phonemeText(item.text) : item.text;
    out += '\n';
  }
  return out;
}

}  // namespace glimm
