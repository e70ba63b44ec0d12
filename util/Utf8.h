// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF, no
// sequence cut short. Text that passes decodes and re-encodes to the same bytes.
#pragma once

#include <cstddef>
#include <string>

namespace glimm::utf8 {

// Decodes the sequence at s[0..n) into `out`: its length, or 0 when it is not
// strict UTF-8 (out is then unchanged). n must be at least 1.
inline size_t decode(const unsigned char* s, size_t n, char32_t& out) {
  const unsigned char b = s[0];
  size_t len;
  char32_t c, least;
  if (b < 0x80) {
    out = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, c = b & 0x1F, least = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, c = b & 0x0F, least = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, c = b & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (s[i] & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  out = c;
  return len;
}

inline bool valid(const char* text, size_t n) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  char32_t c;
  for (size_t i = 0; i < n;) {
    const size_t len = decode(s + i, n - i, c);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Appends the encoding of a Unicode scalar value (not a surrogate).
inline void append(std::string& s, char32_t c) {
  if (c < 0x80) {
    s += char(c);
  } else if (c < 0x800) {
    s += char(0xC0 | (c >> 6));
    s += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += char(0xE0 | (c >> 12));
    s += char(0x80 | ((c >> 6) & 0x3F));
    s += char(0x80 | (c & 0x3F));
  } else {
    s += char(0xF0 | (c >> 18));
    s += char(0x80 | ((c >> 12) & 0x3F));
    s += char(0x80 | ((c >> 6) & 0x3F));
    s += char(0x80 | (c & 0x3F));
  }
}

// Calls f(code point) for each character of text already known to be valid.
template <typename F>
void forEach(const std::string& text, F&& f) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  char32_t c = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t len = decode(s + i, text.size() - i, c);
    i += len ? len : 1;
    f(len ? c : char32_t(0xFFFD));
  }
}

}  // namespace glimm::utf8
