#include "SpeechText.h"

#include "Utf8.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace {

struct Range {
  char32_t first, last;
};

// The scripts the installed voices read. Everything else stays out: control
// and format characters (0x01 starts embedded commands that outlive the
// utterance), U+0AE4-U+11FF, where the synthesiser reads freed memory on
// single code points (which costs Oriya, the Dravidian scripts, Sinhala,
// Thai, Myanmar, Georgian and the Hangul jamo), and in the other scripts'
// blocks everything but letters and marks it knows (assigned by Unicode 3.2),
// since many lone digits, signs, unassigned and newer code points there make
// it read freed memory too. scripts/speakable_ranges.py makes the table.
constexpr Range kSpeakable[] = {
#include "SpeakableRanges.inc"
};

bool allowed(char32_t c) {
  if (c == '\t' || c == '\n') return true;
  for (const Range& r : kSpeakable)
    if (c >= r.first && c <= r.last) return true;
  return false;
}

}  // namespace

bool glimm::speakableCharacter(char32_t c) { return allowed(c); }

std::string glimm::prepareSpeechText(const char* bytes, size_t maxLen) {
  std::string out;
  if (!bytes) return out;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  size_t n = 0;
  while (n < maxLen && s[n] != 0) ++n;
  out.reserve(n);
  for (size_t i = 0; i < n;) {
    char32_t c;
    size_t len = glimm::utf8::decode(s + i, n - i, c);
    if (len == 0) {
      c = s[i];
      len = 1;
    }
    i += len;
    glimm::utf8::append(out, allowed(c) ? c : char32_t(' '));
  }
  return out;
}

std::vector<std::string> glimm::lyricWords(const std::string& prepared, bool phonetic) {
  auto isRest = [phonetic](unsigned char c) {
    if (phonetic) return std::strchr(",.;:!?\"", c) != nullptr && c != 0;
    return c < 0x80 && std::ispunct(c) != 0;
  };
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = prepared.size();
  while (i < n) {
    while (i < n && std::isspace(static_cast<unsigned char>(prepared[i]))) ++i;
    size_t end = i;
    while (end < n && !std::isspace(static_cast<unsigned char>(prepared[end]))) ++end;
    size_t a = i, b = end;
    while (a < b && isRest(static_cast<unsigned char>(prepared[a]))) ++a;
    while (b > a && isRest(static_cast<unsigned char>(prepared[b - 1]))) --b;
    if (b > a) words.push_back(prepared.substr(a, b - a));
    i = end;
  }
  return words;
}

std::string glimm::phonemeText(const std::string& prepared) {
  constexpr size_t kLongestWord = 48;
  std::string out;
  out.reserve(prepared.size() + prepared.size() / kLongestWord + 1);
  size_t run = 0;
  for (const char c : prepared) {
    const bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
    // Break only between whole UTF-8 sequences.
    if (!space && run >= kLongestWord && (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      out += ' ';
      run = 0;
    }
    out += c;
    run = space ? 0 : run + 1;
  }
  return out;
}
