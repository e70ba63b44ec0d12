// The object behind the editor panel: builds the panel into a host-provided
// widget, keeps the text and parameters in step with the speech unit, and
// reaches the unit only through the host link functions.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class GlimmTextEdit;
class QLabel;
class QPushButton;
class QSlider;

class VstGlimm3Editor : public QObject {
  Q_OBJECT

 public:
  explicit VstGlimm3Editor(void* hostContext);
  ~VstGlimm3Editor() override;

  bool eventFilter(QObject* watched, QEvent* event) override;

  // parent: the QWidget to build the panel into.
  virtual bool open(void* parent);
  virtual void close();
  virtual void idle();

  // Creates the process's application object unless one exists; true when
  // this call created it.
  static bool pluginInstance();

  // Values reported by the speech unit; they move the controls without being
  // sent back.
  void updateControls(int index, float value);
  void updateTextEdit();
  void setTextFromAU();

 public slots:
  void updateText();
  void processInput();
  void setPitch(int value);
  void setSpeed(int value);
  void setMouth(int value);
  void setThroat(int value);
  void setSingMode(int on);
  void setFilter(int on);
  void setPhonetic(int on);
  void switchView();

 protected:
  // Guarded: the host may destroy the container, and the panel with it,
  // before the editor.
  QPointer<QWidget> m_panel;
  QString m_text;
  std::unique_ptr<char[]> m_textBuffer;
  GlimmTextEdit* m_textEdit = nullptr;
  QLabel* m_pitchLabel = nullptr;
  QLabel* m_speedLabel = nullptr;
  QLabel* m_mouthLabel = nullptr;
  QLabel* m_throatLabel = nullptr;
  QSlider* m_pitchSlider = nullptr;
  QSlider* m_speedSlider = nullptr;
  QSlider* m_mouthSlider = nullptr;
  QSlider* m_throatSlider = nullptr;
  QSlider* m_phoneticSwitch = nullptr;
  QSlider* m_filterSwitch = nullptr;
  QSlider* m_singSwitch = nullptr;
  QLabel* m_phoneticLabel = nullptr;
  QLabel* m_filterLabel = nullptr;
  QLabel* m_singLabel = nullptr;
  bool m_configShown = false;
  QPushButton* m_viewButton = nullptr;
  QWidget* m_configGroup = nullptr;
  QLabel* m_logoLabel = nullptr;
  bool m_isOpen = false;
  void* m_hostContext = nullptr;

 private:
  bool isLive() const { return m_isOpen && m_panel; }
  void buildPanel(QWidget* parent);
  void setParameter(int index, QSlider* slider, QLabel* label, int value);
  void setSwitch(int index, QSlider* toggle, QLabel* label, int on);
  void updateSlider(QSlider* slider, QLabel* label, float value);
  void updateSwitch(QSlider* toggle, QLabel* label, float value);
};
