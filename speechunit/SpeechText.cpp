#include "SpeechText.h"

#include "Utf8.h"

#include <cstdint>

namespace {

bool allowed(char32_t c) {
  // The synthesiser reads freed memory on some single code points outside
  // these ranges, and 0x01 starts embedded commands that outlive the utterance.
  return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || (c >= 0xA0 && c <= 0x24F) ||
         (c >= 0x2010 && c <= 0x2027) || c == 0x20AC;
}

}  // namespace

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
