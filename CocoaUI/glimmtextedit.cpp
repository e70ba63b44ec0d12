#include "glimmtextedit.h"

#include <QKeyEvent>
#include <QMouseEvent>

GlimmTextEdit::GlimmTextEdit(QWidget* parent) : QTextEdit(parent) {
  setAcceptRichText(false);
  setCursorWidth(12);
}

GlimmTextEdit::~GlimmTextEdit() = default;

QVariant GlimmTextEdit::loadResource(int, const QUrl&) {
  // An empty byte array, not a null variant: a null one makes the document
  // fall back to its own loader, which reads local files.
  return QVariant(QByteArray());
}

void GlimmTextEdit::mousePressEvent(QMouseEvent* event) {
  emit clicked();
  QTextEdit::mousePressEvent(event);
  // Leave the press unaccepted so it travels from the viewport up to this
  // object, where the editor's event filter hands the keyboard to the field.
  QWidget::mousePressEvent(event);
}

void GlimmTextEdit::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key != Qt::Key_Return && key != Qt::Key_Enter) {
    QTextEdit::keyPressEvent(event);
    return;
  }
  if (event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)) {
    // A bare Return starts a new paragraph; Shift+Return would otherwise
    // insert a line separator, which the speech unit would not see as a break.
    QKeyEvent plainReturn(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), false, 1);
    QTextEdit::keyPressEvent(&plainReturn);
    return;
  }
  emit enterPressed();
}
