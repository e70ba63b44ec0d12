// The panel's text field: a plain-text editor in which Return asks to speak.
#pragma once

#include <QTextEdit>

class GlimmTextEdit : public QTextEdit {
  Q_OBJECT

 public:
  explicit GlimmTextEdit(QWidget* parent = nullptr);
  ~GlimmTextEdit() override;

  // The field shows what the speech unit holds, which may look like HTML;
  // it must never make the field read a file or fetch anything.
  QVariant loadResource(int type, const QUrl& name) override;

 signals:
  void enterPressed();
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};
