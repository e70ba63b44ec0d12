// Bytes as the speech unit's text, through the editor and back: the field,
// the editor's text and buffer and the unit must agree after the echo, the
// exchange must come to rest, and a text that fits must survive unchanged.
#include "fuzzeditor.h"

#include "AUGlimm3_HostLink.h"

#include <QApplication>
#include <QByteArray>
#include <QStringDecoder>
#include <QTextDocument>
#include <QWidget>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

using fuzzeditor::checkAgreement;
using fuzzeditor::kMaxUnits;
using fuzzeditor::ProbedEditor;
using fuzzeditor::strictUtf8;
using fuzzeditor::unitText;

ProbedEditor* editor;

// How the unit's bytes should read: up to the terminator, or 511 bytes less a
// sequence the limit cut; valid UTF-8 as such, anything else as Latin-1.
QString expectedDecoded(const unsigned char* store) {
  const char* s = reinterpret_cast<const char*>(store);
  if (const void* nul = std::memchr(s, 0, kGlimmTextBufferSize)) {
    const qsizetype n = static_cast<const char*>(nul) - s;
    if (auto t = strictUtf8(s, n)) return *t;
    return QString::fromLatin1(s, n);
  }
  if (auto t = strictUtf8(s, kGlimmTextMaxBytes)) return *t;
  for (int cut = 1; cut <= 3; ++cut) {
    const int lead = kGlimmTextMaxBytes - cut;
    const unsigned char c = store[lead];
    const int need = c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC0 && c <= 0xDF ? 2 : 0;
    bool tail = true;
    for (int k = lead + 1; k < kGlimmTextMaxBytes; ++k) tail = tail && (store[k] & 0xC0) == 0x80;
    if (need > cut && tail)
      if (auto t = strictUtf8(s, lead)) return *t;
  }
  return QString::fromLatin1(s, kGlimmTextMaxBytes);
}

// What a plain-text field makes of line breaks: each is one paragraph break.
// So are the two non-characters that the document uses as frame marks.
QString asField(QString t) {
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  for (const char16_t c : {u'\r', char16_t(QChar::ParagraphSeparator), u'\uFDD0', u'\uFDD1'})
    t.replace(QChar(c), QLatin1Char('\n'));
  return t;
}

// The longest prefix within both limits, whole code points only.
QString fitted(const QString& t) {
  qsizetype units = 0;
  int bytes = 0;
  while (units < t.size()) {
    const bool pair = t.at(units).isHighSurrogate() && units + 1 < t.size() && t.at(units + 1).isLowSurrogate();
    const char16_t c = t.at(units).unicode();
    const int step = pair ? 2 : 1;
    const int width = pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (units + step > kMaxUnits || bytes + width > kGlimmTextMaxBytes) break;
    units += step;
    bytes += width;
  }
  return t.left(units);
}

void resetTo(const char* text) {
  fuzzlink::putUnitBytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text) + 1);
  editor->updateTextEdit();
  require(editor->text() == QLatin1String(text), "editor did not take the reset text");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  editor = fuzzeditor::openEditor();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input starts from the same state, so a finding reproduces alone.
  resetTo("Execute");
  fuzzlink::textSets = 0;

  fuzzlink::putUnitBytes(data, size);
  const QString expected = fitted(asField(expectedDecoded(fuzzlink::unitStore)));
  editor->updateTextEdit();
  checkAgreement(editor);
  require(expected == QLatin1String("Execute") || fuzzlink::textSets > 0, "a new text was not sent back");
  require(editor->text() == expected, "the unit's text did not survive the editor");

  // The unit announces the echo; the editor must recognise its own text.
  const QString text = editor->text();
  const QByteArray buffer(editor->buffer(), kGlimmTextBufferSize);
  const QString field = editor->field();
  const int sets = fuzzlink::textSets;
  editor->updateTextEdit();
  require(fuzzlink::textSets == sets, "the echo was sent again: no rest");
  require(editor->text() == text && editor->field() == field &&
              QByteArray(editor->buffer(), kGlimmTextBufferSize) == buffer,
          "the echo changed the editor's state");
  checkAgreement(editor);

  // The same bytes once more, now that the editor already shows their text:
  // the unit must still end up holding exactly what the editor holds.
  fuzzlink::putUnitBytes(data, size);
  editor->updateTextEdit();
  checkAgreement(editor);
  require(editor->text() == expected, "the same text read twice came out different");
  return 0;
}
