// The editor as the fuzz targets see it: its inner state, and the agreement
// that must hold between the field, the editor's text, its buffer and the
// unit behind the recording host link.
#pragma once

#include "fuzzcheck.h"
#include "fuzzhostlink.h"

#include "AUGlimm3_HostLink.h"
#include "AUGlimm3_Interface.h"
#include "glimmtextedit.h"
#include "vstglimmeditor.h"

#include <QByteArray>
#include <QStringDecoder>
#include <QTextDocument>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace fuzzeditor {

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
  GlimmTextEdit* textEdit() const { return m_textEdit; }
  QSlider* control(int index) const {
    QSlider* const controls[] = {m_pitchSlider, m_speedSlider,    m_mouthSlider, m_throatSlider,
                                 m_singSwitch,  m_phoneticSwitch, m_filterSwitch};
    return index >= 0 && index < 7 ? controls[index] : nullptr;
  }
  QLabel* valueLabel(int index) const {
    QLabel* const labels[] = {m_pitchLabel, m_speedLabel, m_mouthLabel, m_throatLabel};
    return index >= 0 && index < 4 ? labels[index] : nullptr;
  }
  QWidget* panel() const { return m_panel; }
  QPushButton* viewButton() const { return m_viewButton; }
};

inline std::optional<QString> strictUtf8(const char* data, qsizetype size) {
  // A leading BOM is text like any other here; the default would drop it.
  QStringDecoder decoder(QStringDecoder::Utf8,
                         QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString out = decoder.decode(QByteArrayView(data, size));
  if (decoder.hasError()) return std::nullopt;
  return out;
}

inline bool hasLoneSurrogate(const QString& s) {
  for (qsizetype i = 0; i < s.size(); ++i) {
    const QChar c = s.at(i);
    if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
      ++i;
    else if (c.isSurrogate())
      return true;
  }
  return false;
}

inline QByteArray unitText() {
  const char* s = reinterpret_cast<const char*>(fuzzlink::unitStore);
  return QByteArray(s, qsizetype(strnlen(s, kGlimmTextBufferSize)));
}

// Field, editor text, buffer and unit agree.
inline void checkAgreement(const ProbedEditor* editor) {
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

// An editor opened on the recording host link, in a container of the
// panel's size; a Qt fatal message aborts, so libFuzzer reports the input.
inline ProbedEditor* openEditor() {
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
  auto* editor = new ProbedEditor(&fuzzlink::context);
  if (!editor->open(container)) fail("editor did not open");
  return editor;
}

}  // namespace fuzzeditor
