// Bytes as the speech unit's text, through the editor and back: the field,
// the editor's text and buffer and the unit must agree after the echo, the
// exchange must come to rest, and a text that fits must survive unchanged.
#include "fuzzcheck.h"
#include "fuzzhostlink.h"

#include "AUGlimm3_HostLink.h"
#include "AUGlimm3_Interface.h"
#include "glimmtextedit.h"
#include "vstglimmeditor.h"

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

constexpr int kMaxUnits = 256;

// Reaches the editor's state, which is what the invariants are about.
class ProbedEditor : public VstGlimm3Editor {
 public:
  using VstGlimm3Editor::VstGlimm3Editor;
  const QString& text() const { return m_text; }
  const char* buffer() const { return m_textBuffer.get(); }
  QString field() const {
    QString t = m_textEdit->document()->toRawText();
    t.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return t;
  }
};

ProbedEditor* editor;

std::optional<QString> strictUtf8(const char* data, qsizetype size) {
  // A leading BOM is text like any other here; the default would drop it.
  QStringDecoder decoder(QStringDecoder::Utf8,
                         QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString out = decoder.decode(QByteArrayView(data, size));
  if (decoder.hasError()) return std::nullopt;
  return out;
}

bool hasLoneSurrogate(const QString& s) {
  for (qsizetype i = 0; i < s.size(); ++i) {
    const QChar c = s.at(i);
    if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
      ++i;
    else if (c.isSurrogate())
      return true;
  }
  return false;
}

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

QByteArray unitText() {
  const char* s = reinterpret_cast<const char*>(fuzzlink::unitStore);
  return QByteArray(s, qsizetype(strnlen(s, kGlimmTextBufferSize)));
}

// Field, editor text, buffer and unit agree.
void checkAgreement() {
  const char* buffer = editor->buffer();
  const void* nul = std::memchr(buffer, 0, kGlimmTextBufferSize);
  require(nul != nullptr, "text buffer has no terminator within 512 bytes");
  const qsizetype size = static_cast<const char*>(nul) - buffer;
  require(size <= kGlimmTextMaxBytes, "text buffer holds more than 511 bytes");

  const QString& text = editor->text();
  require(text.size() <= kMaxUnits, "editor text longer than 256 UTF-16 units");
  require(!hasLoneSurrogate(text), "editor text holds a lone surrogate");
  require(editor->field() == text, "field differs from editor text");

  const auto decoded = strictUtf8(buffer, size);
  require(decoded.has_value(), "text buffer is not valid UTF-8");
  require(*decoded == text, "text buffer does not decode to editor text");
  require(unitText() == QByteArray(buffer, size), "unit text differs from text buffer after the echo");
  require(fuzzlink::foreignCalls == 0, "host link called with a wrong context, ID or size");
}

void resetTo(const char* text) {
  fuzzlink::putUnitBytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text) + 1);
  editor->updateTextEdit();
  require(editor->text() == QLatin1String(text), "editor did not take the reset text");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // This process is no host: choosing the platform through the environment is harmless.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtFatalMsg) {
      std::fprintf(stderr, "%s\n", qPrintable(msg));
      std::abort();
    }
  });
  if (!pluginInstance()) fail("no application object");
  auto* container = new QWidget;
  container->resize(440, 320);
  editor = new ProbedEditor(&fuzzlink::context);
  if (!editor->open(container)) fail("editor did not open");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input starts from the same state, so a finding reproduces alone.
  resetTo("Execute");
  fuzzlink::textSets = 0;

  fuzzlink::putUnitBytes(data, size);
  const QString expected = fitted(asField(expectedDecoded(fuzzlink::unitStore)));
  editor->updateTextEdit();
  checkAgreement();
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
  checkAgreement();

  // The same bytes once more, now that the editor already shows their text:
  // the unit must still end up holding exactly what the editor holds.
  fuzzlink::putUnitBytes(data, size);
  editor->updateTextEdit();
  checkAgreement();
  require(editor->text() == expected, "the same text read twice came out different");
  return 0;
}
