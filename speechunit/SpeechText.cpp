#include "SpeechText.h"

#include "Utf8.h"

#include <cstdint>

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

bool glimmSpeakableCharacter(char32_t c) { return allowed(c); }

std::string glimmPrepareSpeechText(const char* bytes, size_t maxLen) {
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
