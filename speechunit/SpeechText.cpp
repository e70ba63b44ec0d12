#include "SpeechText.h"

#include <cstdint>

namespace {

bool allowed(uint32_t c)
{
  // The synthesiser reads freed memory on some single code points outside
  // these ranges, and 0x01 starts embedded commands that outlive the utterance.
  return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || (c >= 0xA0 && c <= 0x24F) ||
         (c >= 0x2010 && c <= 0x2027) || c == 0x20AC;
}

// Decodes one UTF-8 sequence at s[0..n); returns its length, or 0 if invalid.
size_t decodeUtf8(const unsigned char* s, size_t n, uint32_t& out)
{
  const unsigned char b = s[0];
  size_t len;
  uint32_t c, min;
  if (b < 0x80) {
    out = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    len = 2, c = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, c = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > n)
    return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80)
      return 0;
    c = (c << 6) | (s[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    return 0;
  out = c;
  return len;
}

void appendUtf8(std::string& s, uint32_t c)
{
  if (c < 0x80) {
    s += char(c);
  } else if (c < 0x800) {
    s += char(0xC0 | (c >> 6));
    s += char(0x80 | (c & 0x3F));
  } else {
    s += char(0xE0 | (c >> 12));
    s += char(0x80 | ((c >> 6) & 0x3F));
    s += char(0x80 | (c & 0x3F));
  }
}

} // namespace

std::string glimmPrepareSpeechText(const char* bytes, size_t maxLen)
{
  std::string out;
  if (!bytes)
    return out;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  size_t n = 0;
  while (n < maxLen && s[n] != 0)
    ++n;
  out.reserve(n);
  for (size_t i = 0; i < n;) {
    uint32_t c;
    size_t len = decodeUtf8(s + i, n - i, c);
    if (len == 0) {
      c = s[i];
      len = 1;
    }
    i += len;
    appendUtf8(out, allowed(c) ? c : uint32_t(' '));
  }
  return out;
}
