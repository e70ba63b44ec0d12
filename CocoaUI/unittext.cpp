// How the editor reads the unit's text buffer and fits the field's text into it.
#include "unittext.h"

#include "AUGlimm3_Interface.h"

#include "Utf8.h"

#include <QTextDocument>
#include <QTextEdit>

#include <cstring>
#include <optional>

namespace {

// Strict UTF-8; a leading BOM is kept as a character so that it survives the
// round trip.
std::optional<QString> decodeUtf8(const char* text, int size) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  QString out;
  out.reserve(size);
  for (int i = 0; i < size;) {
    char32_t cp;
    const size_t len = glimm::utf8::decode(s + i, size_t(size - i), cp);
    if (len == 0) return std::nullopt;
    if (cp >= 0x10000) {
      out += QChar(QChar::highSurrogate(cp));
      out += QChar(QChar::lowSurrogate(cp));
    } else {
      out += QChar(char16_t(cp));
    }
    i += int(len);
  }
  return out;
}

}  // namespace

// Valid UTF-8 is what the editor itself writes; anything else is read as
// Latin-1, which maps every byte to a character, so nothing is lost.
QString decodeUnitText(const char* text, int size) {
  if (auto utf8 = decodeUtf8(text, size)) return *utf8;
  return QString::fromLatin1(text, size);
}

// Length of the text in a buffer received from the unit. Without a
// terminator, the first kGlimmTextMaxBytes bytes count, less a UTF-8
// sequence that the limit cut in two.
int receivedTextLength(const char* buffer) {
  if (const void* nul = std::memchr(buffer, 0, kGlimmTextBufferSize))
    return int(static_cast<const char*>(nul) - buffer);
  const auto* s = reinterpret_cast<const unsigned char*>(buffer);
  int lead = kGlimmTextMaxBytes - 1;
  while (lead > kGlimmTextMaxBytes - 4 && (s[lead] & 0xC0) == 0x80) --lead;
  const unsigned char c = s[lead];
  const int need = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (need > kGlimmTextMaxBytes - lead && decodeUtf8(buffer, lead)) return lead;
  return kGlimmTextMaxBytes;
}

// The longest prefix that fits both the field's character limit and the text
// buffer once encoded, never splitting a surrogate pair.
int fittingPrefixLength(const QString& text) {
  int units = 0;
  int bytes = 0;
  while (units < text.size()) {
    const char16_t c = text.at(units).unicode();
    int step = 1;
    int width;
    if (c < 0x80) {
      width = 1;
    } else if (c < 0x800) {
      width = 2;
    } else if (QChar::isHighSurrogate(c) && units + 1 < text.size() && text.at(units + 1).isLowSurrogate()) {
      step = 2;
      width = 4;
    } else {
      width = 3;  // a lone surrogate is encoded as a replacement, never longer
    }
    if (units + step > kGlimmFieldMaxLength || bytes + width > kGlimmTextMaxBytes) break;
    units += step;
    bytes += width;
  }
  return units;
}

// The field's text as the unit gets it: paragraph breaks as line feeds, every
// other character (no-break spaces, line separators) as typed, so that a text
// from the unit comes back unchanged.
QString fieldText(const QTextEdit* field) {
  QString text = field->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return text;
}
