// Bytes as a user's hands on an open editor: typed characters, editing keys,
// pastes of plain and rich text, clicks in the field, control moves, SPEAK!,
// and the unit changing its text and parameters, against a host link that
// records what reaches the unit. After each action the field, the editor's
// text, its buffer and the unit agree, the limits hold, every move reached
// the unit once and nothing else did, and the unit's echo of the text leaves
// the editor at rest.
#include "fuzzeditor.h"

#include "AUGlimm3_HostLink.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using fuzzeditor::checkAgreement;
using fuzzeditor::ProbedEditor;

ProbedEditor* editor;
QPushButton* speakButton;

using Bytes = FuzzBytes;

char32_t codePoint(Bytes& in) {
  const uint8_t kind = in.next() % 8;
  const uint8_t b = in.next();
  switch (kind) {
    case 0:
    case 1:
    case 2:
      return char32_t(0x20 + b % 0x5F);
    case 3:
      return char32_t(0xA0 + b % 0x60);
    case 4:
      return char32_t(0x370 + b * 3);  // Greek, Cyrillic and on
    case 5:
      return char32_t(0x4E00 + b);  // three bytes in UTF-8
    case 6:
      return char32_t(0x1F300 + b);  // a surrogate pair, four bytes
    default: {
      static const char32_t odd[] = {0x0300, 0x200D, 0x05D0, 0x0627, 0x00AD, 0x2028, 0x2029,
                                     0xFEFF, '\t',   0x20AC, 0xFFFC, 0xFDD0, 0x0085, 0x000B};
      return odd[b % std::size(odd)];
    }
  }
}

QString someText(Bytes& in, int maxChars) {
  QString s;
  for (int n = in.next() % (maxChars + 1); n > 0 && in.more(); --n) {
    const char32_t c = in.next() % 16 == 0 ? U'\n' : codePoint(in);
    s += QString::fromUcs4(&c, 1);
  }
  return s;
}

void sendKey(QWidget* w, int key, Qt::KeyboardModifiers mods, const QString& text = QString()) {
  QKeyEvent press(QEvent::KeyPress, key, mods, text);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, key, mods, text);
  QApplication::sendEvent(w, &release);
}

void typeCharacters(Bytes& in, int& plays) {
  (void)plays;
  for (int n = 1 + in.next() % 4; n > 0; --n) {
    const char32_t c = codePoint(in);
    // The whole character in one event, as an input method delivers it.
    sendKey(editor->textEdit(), Qt::Key_unknown, Qt::NoModifier, QString::fromUcs4(&c, 1));
  }
}

void editingKey(Bytes& in, int& plays) {
  struct Press {
    int key;
    Qt::KeyboardModifiers mods;
  };
  static const Press presses[] = {
      {Qt::Key_Backspace, Qt::NoModifier},   {Qt::Key_Delete, Qt::NoModifier},
      {Qt::Key_Left, Qt::NoModifier},        {Qt::Key_Right, Qt::NoModifier},
      {Qt::Key_Up, Qt::NoModifier},          {Qt::Key_Down, Qt::NoModifier},
      {Qt::Key_Home, Qt::NoModifier},        {Qt::Key_End, Qt::ControlModifier},
      {Qt::Key_Left, Qt::ShiftModifier},     {Qt::Key_Home, Qt::ShiftModifier},
      {Qt::Key_A, Qt::ControlModifier},      {Qt::Key_Z, Qt::ControlModifier},
      {Qt::Key_Y, Qt::ControlModifier},      {Qt::Key_X, Qt::ControlModifier},
      {Qt::Key_C, Qt::ControlModifier},      {Qt::Key_V, Qt::ControlModifier},
      {Qt::Key_Return, Qt::NoModifier},      {Qt::Key_Enter, Qt::KeypadModifier},
      {Qt::Key_Return, Qt::AltModifier},     {Qt::Key_Return, Qt::ShiftModifier},
      {Qt::Key_Return, Qt::ControlModifier}, {Qt::Key_Backspace, Qt::ControlModifier},
  };
  const Press& p = presses[in.next() % std::size(presses)];
  const bool speaks =
      (p.key == Qt::Key_Return || p.key == Qt::Key_Enter) && !(p.mods & (Qt::ControlModifier | Qt::ShiftModifier));
  const QString text = p.key == Qt::Key_Return || p.key == Qt::Key_Enter ? QStringLiteral("\r") : QString();
  sendKey(editor->textEdit(), p.key, p.mods, p.mods & Qt::ControlModifier ? QString() : text);
  plays += speaks;
}

void paste(Bytes& in, int&) {
  auto* mime = new QMimeData;
  const QString text = someText(in, 300);
  switch (in.next() % 3) {
    case 0:
      mime->setText(text);
      break;
    case 1:  // rich text: the field must take only its characters
      mime->setHtml("<b>" + text.toHtmlEscaped() + "</b><img src=\"file:///etc/passwd\"><br>" + text.left(5));
      break;
    default:  // bytes that are not UTF-8 under the text type
      mime->setData("text/plain", text.toLatin1() + QByteArray(1, char(0xFF)));
  }
  QGuiApplication::clipboard()->setMimeData(mime);
  sendKey(editor->textEdit(), Qt::Key_V, Qt::ControlModifier);
}

void clickField(Bytes& in, int&) {
  const QPoint at(in.next() * 440 / 256, in.next() * 120 / 256);
  if (in.next() % 4 == 0)
    QTest::mouseDClick(editor->textEdit()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  else
    QTest::mouseClick(editor->textEdit()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

// A move reaches the unit once with the control's new value; a control that
// does not move sends nothing.
void moveControl(Bytes& in, int&) {
  const int index = in.next() % 7;
  QSlider* s = editor->control(index);
  const int before = s->value();
  const int sets = fuzzlink::parameterSets;
  if (in.next() % 2)
    s->setValue(s->minimum() - 5 + in.next() % (s->maximum() - s->minimum() + 11));
  else
    QTest::keyClick(s, in.next() % 2 ? Qt::Key_PageUp : Qt::Key_End);
  const bool dispatches = index <= kGlimmParam_SingMode;  // the switches 5 and 6 stay in the panel
  if (s->value() == before || !dispatches) {
    require(fuzzlink::parameterSets == sets, "a control that did not move, or does not reach the unit, wrote");
  } else {
    require(fuzzlink::parameterSets == sets + 1, "a move did not reach the unit exactly once");
    require(fuzzlink::lastParameterIndex == index && fuzzlink::lastParameterValue == float(s->value()),
            "a move reached the unit with another index or value");
  }
  // A label may show a unit's value beyond the control's range; a move shows the control's.
  if (QLabel* label = editor->valueLabel(index); label && s->value() != before)
    require(label->text() == QString::number(s->value()), "a moved control's label does not show its value");
}

void pressButton(Bytes& in, int& plays) {
  if (in.next() % 2) {
    QTest::mouseClick(speakButton, Qt::LeftButton);
    ++plays;
  } else {
    QTest::mouseClick(editor->viewButton(), Qt::LeftButton);
  }
}

// The unit (its host) changes the text; the panel takes it.
void unitText(Bytes& in, int&) {
  unsigned char bytes[kGlimmTextBufferSize] = {};
  const size_t n = in.next() % 96;
  for (size_t i = 0; i < n; ++i) bytes[i] = in.next();
  fuzzlink::putUnitBytes(bytes, sizeof bytes);
  editor->updateTextEdit();
}

// The unit announces a parameter value: the control shows it, clamped, and
// writes nothing back.
void unitParameter(Bytes& in, int&) {
  const int index = in.next() % kGlimmParam_SingMode;
  const uint32_t raw = in.next32();
  float value;
  std::memcpy(&value, &raw, sizeof value);
  QSlider* s = editor->control(index);
  const int before = s->value();
  const int sets = fuzzlink::parameterSets;
  editor->updateControls(index, value);
  require(fuzzlink::parameterSets == sets, "a value from the unit was written back to it");
  const int expected = std::isnan(value)
                           ? before
                           : int(std::clamp(std::trunc(double(value)), double(s->minimum()), double(s->maximum())));
  require(s->value() == expected, "a control does not show the unit's value");
}

// The unit announces the text it now holds; the editor must recognise it.
void checkRestAfterEcho() {
  const QString text = editor->text();
  const QByteArray buffer(editor->buffer(), kGlimmTextBufferSize);
  const int sets = fuzzlink::textSets;
  editor->updateTextEdit();
  require(fuzzlink::textSets == sets, "the echo was sent again: no rest");
  require(editor->text() == text && QByteArray(editor->buffer(), kGlimmTextBufferSize) == buffer,
          "the echo changed the editor's state");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  editor = fuzzeditor::openEditor();
  editor->panel()->window()->show();
  for (QPushButton* b : editor->panel()->findChildren<QPushButton*>())
    if (b->text() == QLatin1String("SPEAK!")) speakButton = b;
  if (!speakButton) fail("no SPEAK! button");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input starts from the same state, so a finding reproduces alone.
  editor->textEdit()->setPlainText(QStringLiteral("Execute"));
  fuzzlink::putUnitBytes(reinterpret_cast<const unsigned char*>("Execute"), 8);
  editor->updateTextEdit();
  fuzzlink::textSets = fuzzlink::parameterSets = fuzzlink::plays = 0;
  int plays = 0;

  Bytes in(data, size);
  for (int step = 0; step < 48 && in.more(); ++step) {
    static void (*const actions[])(Bytes&, int&) = {typeCharacters, typeCharacters, editingKey,  editingKey,
                                                    paste,          clickField,     moveControl, pressButton,
                                                    unitText,       unitParameter};
    actions[in.next() % std::size(actions)](in, plays);
    checkAgreement(editor);
    require(fuzzlink::plays == plays, "play requests differ from the presses that ask to speak");
    checkRestAfterEcho();
    checkAgreement(editor);
  }
  return 0;
}
