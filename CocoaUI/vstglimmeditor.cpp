#include "vstglimmeditor.h"

#include "aboutbox.h"

#include "AUGlimm3_HostLink.h"
#include "GlimmContract.h"
#include "glimmtextedit.h"
#include "unittext.h"

#include "Boundary.h"

#include <QEvent>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTextCursor>
#include <QTextDocument>

#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>

namespace {

const char kInitialText[] = "Execute";

const char kAboutText[] =
    "VST Glimm ! the text 2 speech VST<br/><br/> "
    "<a href='README.md'>More Info on Brontu blog</a>"
    "<br/><br/>"
    "<a href='https://github.com/espeak-ng/espeak-ng'>Speech by espeak-ng</a>";

// Entry points run inside the host's event dispatch; nothing may escape.
using glimm::atBoundary;

int toInt(float value) {
  // Beyond int, conversion is undefined; saturate instead.
  if (value >= 2147483648.0f) return INT_MAX;
  if (value <= -2147483648.0f) return INT_MIN;
  return static_cast<int>(value);
}

QString switchState(bool on) { return on ? QStringLiteral("ON") : QStringLiteral("OFF"); }

}  // namespace

VstGlimm3Editor::VstGlimm3Editor(void* hostContext)
    : QObject(nullptr),
      m_text(QString::fromLatin1(kInitialText)),
      m_textBuffer(new char[kGlimmTextBufferSize]()),
      m_hostContext(hostContext) {
  std::memcpy(m_textBuffer.get(), kInitialText, sizeof kInitialText);
}

VstGlimm3Editor::~VstGlimm3Editor() {
  m_isOpen = false;
  if (m_panel) {
    m_panel->close();
    delete m_panel;
  }
}

bool VstGlimm3Editor::pluginInstance() { return ::pluginInstance(); }

bool VstGlimm3Editor::open(void* parent) {
  auto* parentWidget = static_cast<QWidget*>(parent);
  if (!parentWidget) return false;
  if (m_panel) close();
  try {
    buildPanel(parentWidget);
    return true;
  } catch (...) {
    m_isOpen = false;
    delete m_panel;
    return false;
  }
}

void VstGlimm3Editor::buildPanel(QWidget* parent) {
  m_panel = new QWidget(parent);
  // The container's own size: Qt's frameSize would add window decorations
  // when the parent happens to be a top-level window.
  m_panel->resize(parent->size());
  m_panel->setStyleSheet("background-color:#B8B8D1;");

  auto* topBar = new QLabel(m_panel);
  topBar->setStyleSheet("background:url(':Resources/img/c64bg.png') repeat-x;");
  topBar->resize(kGlimmPanelWidth, 30);
  topBar->move(0, 0);

  m_logoLabel = new QLabel(m_panel);
  m_logoLabel->setStyleSheet("background:url(':Resources/img/logo2.png') no-repeat;");
  m_logoLabel->resize(122, 32);
  m_logoLabel->move(320, 164);
  m_logoLabel->installEventFilter(this);

  // Application fonts are never removed, so a second registration would add
  // a duplicate on every reopen. A failed one is retried: it adds nothing.
  static int fontId = -1;
  if (fontId < 0) fontId = QFontDatabase::addApplicationFont(":Resources/fonts/amiga4ever pro.ttf");
  const QFont panelFont("Amiga Forever Pro", 12);

  m_textEdit = new GlimmTextEdit(m_panel);
  m_textEdit->setFont(panelFont);
  m_textEdit->setStyleSheet("background-color:#4242E7; color:#F0F0F0; border:8px solid #8585DF;");
  m_textEdit->resize(kGlimmPanelWidth, 120);
  m_textEdit->move(0, 30);
  m_textEdit->setPlainText(m_text);
  m_textEdit->setFocus();

  QString sliderStyle;
  QFile styleFile(":Resources/qss/default.css");
  if (styleFile.open(QIODevice::ReadOnly)) {
    QByteArray css = styleFile.readAll();
    const int nul = css.indexOf('\0');
    if (nul >= 0) css.truncate(nul);
    sliderStyle = QString::fromLatin1(css);
  }

  auto* frame = new QGroupBox(tr(""), m_panel);
  frame->setFont(panelFont);
  frame->setStyleSheet("QGroupBox {background-color: transparent; border: 2px solid white;}");
  frame->resize(300, 140);
  frame->move(10, 160);

  struct Row {
    const char* caption;
    int parameter;
    int y;
    QSlider** slider;
    QLabel** label;
  };
  const Row rows[] = {
      {"pitch", kGlimmParam_Pitch, 185, &m_pitchSlider, &m_pitchLabel},
      {"speed", kGlimmParam_Speed, 210, &m_speedSlider, &m_speedLabel},
      {"mouth", kGlimmParam_Mouth, 235, &m_mouthSlider, &m_mouthLabel},
      {"throat", kGlimmParam_Throat, 260, &m_throatSlider, &m_throatLabel},
  };
  for (const Row& row : rows) {
    const GlimmParameterFacts& facts = kGlimmParameters[row.parameter];
    auto* slider = new QSlider(Qt::Horizontal, m_panel);
    slider->setRange(int(facts.minimum), int(facts.maximum));
    slider->setStyleSheet(sliderStyle);
    slider->resize(120, 16);
    slider->move(100, row.y);
    *row.slider = slider;

    auto* caption = new QLabel(row.caption, m_panel);
    caption->setFont(panelFont);
    caption->setStyleSheet("color:#FFFFFF;");
    caption->move(16, row.y);

    auto* value = new QLabel(QString::number(slider->sliderPosition()), m_panel);
    value->setStyleSheet("color:white;");
    value->setFont(panelFont);
    value->resize(50, 16);
    value->move(230, row.y);
    *row.label = value;
  }

  auto* speakButton = new QPushButton("SPEAK!", m_panel);
  speakButton->setFont(panelFont);
  speakButton->setStyleSheet("color:white;");
  speakButton->resize(87, 34);
  speakButton->move(320, 260);

  m_viewButton = new QPushButton("config", m_panel);
  m_viewButton->setFont(panelFont);
  m_viewButton->setStyleSheet("color:white;");
  m_viewButton->resize(87, 34);
  m_viewButton->move(320, 210);

  m_configGroup = new QWidget(m_panel);
  m_configGroup->setStyleSheet("background-color:#B8B8D1;");
  m_configGroup->resize(290, 130);
  m_configGroup->move(15, 165);

  struct SwitchRow {
    const char* caption;
    int y;
    QSlider** slider;
    QLabel** label;
  };
  const SwitchRow switchRows[] = {
      {"phonetic mode", 20, &m_phoneticSwitch, &m_phoneticLabel},
      {"filter on", 45, &m_filterSwitch, &m_filterLabel},
      {"sing mode", 70, &m_singSwitch, &m_singLabel},
  };
  for (const SwitchRow& row : switchRows) {
    auto* caption = new QLabel(row.caption, m_configGroup);
    caption->setFont(panelFont);
    caption->setStyleSheet("color:white;");
    caption->move(2, row.y);

    auto* slider = new QSlider(Qt::Horizontal, m_configGroup);
    slider->setRange(0, 1);
    slider->setStyleSheet(sliderStyle);
    slider->setValue(0);
    slider->resize(28, 16);
    slider->move(180, row.y);
    *row.slider = slider;

    auto* state = new QLabel("off", m_configGroup);
    state->setFont(panelFont);
    state->setStyleSheet("color:white;");
    state->resize(36, 16);
    state->move(230, row.y);
    *row.label = state;
  }

  m_configGroup->setVisible(false);
  m_configShown = false;

  connect(m_textEdit, SIGNAL(textChanged()), this, SLOT(updateText()));
  connect(m_textEdit, SIGNAL(enterPressed()), this, SLOT(processInput()));
  connect(speakButton, SIGNAL(pressed()), this, SLOT(processInput()));
  connect(m_viewButton, SIGNAL(clicked()), this, SLOT(switchView()));
  connect(m_pitchSlider, SIGNAL(valueChanged(int)), this, SLOT(setPitch(int)));
  connect(m_speedSlider, SIGNAL(valueChanged(int)), this, SLOT(setSpeed(int)));
  connect(m_mouthSlider, SIGNAL(valueChanged(int)), this, SLOT(setMouth(int)));
  connect(m_throatSlider, SIGNAL(valueChanged(int)), this, SLOT(setThroat(int)));
  connect(m_phoneticSwitch, SIGNAL(valueChanged(int)), this, SLOT(setPhonetic(int)));
  connect(m_singSwitch, SIGNAL(valueChanged(int)), this, SLOT(setSingMode(int)));
  connect(m_filterSwitch, SIGNAL(valueChanged(int)), this, SLOT(setFilter(int)));

  m_textEdit->installEventFilter(this);

  m_panel->setVisible(true);
  m_isOpen = true;
}

void VstGlimm3Editor::close() {
  atBoundary([this] {
    if (m_panel) m_panel->setVisible(false);
    m_isOpen = false;
    delete m_panel;
  });
}

void VstGlimm3Editor::idle() {}

bool VstGlimm3Editor::eventFilter(QObject* watched, QEvent* event) {
  try {
    if (watched == m_logoLabel && event->type() == QEvent::MouseButtonRelease) {
      showAboutBox(QString::fromLatin1(kAboutText));
      return true;
    }
    if (watched == m_textEdit && event->type() == QEvent::MouseButtonPress)
      activateCocoaWindow(reinterpret_cast<void*>(m_textEdit->winId()));
  } catch (...) {
  }
  return QObject::eventFilter(watched, event);
}

void VstGlimm3Editor::updateText() {
  atBoundary([this] {
    if (!isLive()) return;
    m_text = fieldText(m_textEdit);
    const int fit = fittingPrefixLength(m_text);
    if (fit < m_text.size()) {
      m_text.truncate(fit);
      // Show exactly what is sent. This re-enters updateText, which sends
      // the cut text; this run then sends it again.
      m_textEdit->setPlainText(m_text);
      QTextCursor cursor = m_textEdit->textCursor();
      cursor.setPosition(m_textEdit->document()->characterCount() - 1);
      m_textEdit->setTextCursor(cursor);
    }
    // Explicitly UTF-8, not the local 8-bit encoding: it is what
    // updateTextEdit reads back, so the unit's text survives every reopen.
    const QByteArray bytes = m_text.toUtf8();
    const int size = std::min<int>(bytes.size(), kGlimmTextMaxBytes);
    std::memcpy(m_textBuffer.get(), bytes.constData(), size);
    m_textBuffer[size] = '\0';
    setTextProperty(m_hostContext, m_textBuffer.get(), m_textEdit);
  });
}

void VstGlimm3Editor::processInput() {
  atBoundary([this] {
    if (!m_panel) return;
    setPlayProperty(m_hostContext);
  });
}

void VstGlimm3Editor::updateTextEdit() {
  atBoundary([this] {
    if (!isLive()) return;
    std::unique_ptr<char[]> received(new char[kGlimmTextBufferSize]());
    if (getProperty(m_hostContext, kGlimmProperty_Text, received.get(), kGlimmTextBufferSize) != 0) return;
    const int size = receivedTextLength(received.get());
    // An unterminated text is written back even when its cut equals ours, so
    // the unit never keeps bytes past the limit that the panel does not show.
    const bool terminated = std::memchr(received.get(), 0, kGlimmTextBufferSize) != nullptr;
    if (terminated && size == int(std::strlen(m_textBuffer.get())) &&
        std::memcmp(received.get(), m_textBuffer.get(), size) == 0)
      return;
    std::memcpy(m_textBuffer.get(), received.get(), size);
    m_textBuffer[size] = '\0';
    m_text = decodeUnitText(m_textBuffer.get(), size);
    // Plain text: the unit's text is never markup, and must not be read as such.
    m_textEdit->setPlainText(m_text);
  });
}

void VstGlimm3Editor::setTextFromAU() { updateTextEdit(); }

void VstGlimm3Editor::setParameter(int index, QSlider* slider, QLabel* label, int value) {
  atBoundary([&] {
    parameterDispatcher(m_hostContext, index, float(value), slider);
    label->setText(QString::number(value));
  });
}

void VstGlimm3Editor::setPitch(int value) { setParameter(kGlimmParam_Pitch, m_pitchSlider, m_pitchLabel, value); }

void VstGlimm3Editor::setSpeed(int value) { setParameter(kGlimmParam_Speed, m_speedSlider, m_speedLabel, value); }

void VstGlimm3Editor::setMouth(int value) { setParameter(kGlimmParam_Mouth, m_mouthSlider, m_mouthLabel, value); }

void VstGlimm3Editor::setThroat(int value) { setParameter(kGlimmParam_Throat, m_throatSlider, m_throatLabel, value); }

void VstGlimm3Editor::setSwitch(int index, QSlider* toggle, QLabel* label, int on) {
  atBoundary([&] {
    label->setText(switchState(on != 0));
    parameterDispatcher(m_hostContext, index, float(on), toggle);
  });
}

void VstGlimm3Editor::setSingMode(int on) { setSwitch(kGlimmParam_SingMode, m_singSwitch, m_singLabel, on); }

void VstGlimm3Editor::setFilter(int on) { setSwitch(kGlimmParam_Filter, m_filterSwitch, m_filterLabel, on); }

void VstGlimm3Editor::setPhonetic(int on) { setSwitch(kGlimmParam_Phonetic, m_phoneticSwitch, m_phoneticLabel, on); }

void VstGlimm3Editor::switchView() {
  atBoundary([this] {
    const bool wasShown = m_configShown;
    m_configShown = !wasShown;
    if (wasShown) {
      m_viewButton->setText("config");
      m_configGroup->setVisible(false);
    } else {
      m_viewButton->setText("param");
      m_configGroup->setVisible(true);
    }
  });
}

void VstGlimm3Editor::updateSlider(QSlider* slider, QLabel* label, float value) {
  // NaN carries no position; anything else saturates to int before truncating.
  if (std::isnan(value)) return;
  const int v = toInt(value);
  if (slider->value() == v) return;
  {
    const QSignalBlocker blocker(slider);
    slider->setValue(v);
  }
  label->setText(QString::number(v));
}

void VstGlimm3Editor::updateSwitch(QSlider* toggle, QLabel* label, float value) {
  // NaN never equals, and counts as on.
  if (float(toggle->value()) == value) return;
  const bool on = !(value < 0.5f);
  {
    const QSignalBlocker blocker(toggle);
    toggle->setValue(on ? 1 : 0);
  }
  label->setText(switchState(on));
}

void VstGlimm3Editor::updateControls(int index, float value) {
  atBoundary([&] {
    if (!isLive() || index < 0 || index >= kGlimmParamCount) return;
    // In parameter-ID order; a parameter without a control here is passed over.
    QSlider* const controls[] = {m_pitchSlider, m_speedSlider,    m_mouthSlider, m_throatSlider,
                                 m_singSwitch,  m_phoneticSwitch, m_filterSwitch};
    QLabel* const labels[] = {m_pitchLabel, m_speedLabel,    m_mouthLabel, m_throatLabel,
                              m_singLabel,  m_phoneticLabel, m_filterLabel};
    if (size_t(index) >= std::size(controls)) return;
    if (kGlimmParameters[index].toggle)
      updateSwitch(controls[index], labels[index], value);
    else
      updateSlider(controls[index], labels[index], value);
  });
}
