#include "benchpanel.h"

#include "benchutil.h"
#include "editorwindow.h"
#include "unithost.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>

#include <cstdio>

namespace bench {

const char kPanelText[] = "The quick brown fox jumps over the lazy dog.";

QWidget* buildBarePanel(QWidget* parent) {
  auto* panel = new QWidget(parent);
  panel->resize(parent->size());
  panel->setStyleSheet("background-color:#B8B8D1;");

  auto* topBar = new QLabel(panel);
  topBar->setStyleSheet("background:url(':Resources/img/c64bg.png') repeat-x;");
  topBar->setGeometry(0, 0, 440, 30);
  auto* logo = new QLabel(panel);
  logo->setStyleSheet("background:url(':Resources/img/logo2.png') no-repeat;");
  logo->setGeometry(320, 164, 122, 32);

  static const int fontId = QFontDatabase::addApplicationFont(":Resources/fonts/amiga4ever pro.ttf");
  (void)fontId;
  const QFont font("Amiga Forever Pro", 12);

  auto* text = new QTextEdit(panel);
  text->setAcceptRichText(false);
  text->setCursorWidth(12);
  text->setFont(font);
  text->setStyleSheet("background-color:#4242E7; color:#F0F0F0; border:8px solid #8585DF;");
  text->setGeometry(0, 30, 440, 120);
  text->setPlainText(QString::fromLatin1(kPanelText));
  text->setFocus();

  QString sliderStyle;
  QFile css(":Resources/qss/default.css");
  if (css.open(QIODevice::ReadOnly)) sliderStyle = QString::fromLatin1(css.readAll());

  auto* frame = new QGroupBox(QString(), panel);
  frame->setFont(font);
  frame->setStyleSheet("QGroupBox {background-color: transparent; border: 2px solid white;}");
  frame->setGeometry(10, 160, 300, 140);

  const struct {
    const char* caption;
    int minimum, maximum, y;
  } rows[] = {{"pitch", 0, 255, 185}, {"speed", 20, 200, 210}, {"mouth", 0, 255, 235}, {"throat", 0, 255, 260}};
  for (int i = 0; i < 4; ++i) {
    auto* slider = new QSlider(Qt::Horizontal, panel);
    slider->setRange(rows[i].minimum, rows[i].maximum);
    slider->setStyleSheet(sliderStyle);
    slider->setGeometry(100, rows[i].y, 120, 16);
    slider->setValue(int(kPanelValues[i]));
    auto* caption = new QLabel(rows[i].caption, panel);
    caption->setFont(font);
    caption->setStyleSheet("color:#FFFFFF;");
    caption->move(16, rows[i].y);
    auto* value = new QLabel(QString::number(slider->value()), panel);
    value->setStyleSheet("color:white;");
    value->setFont(font);
    value->setGeometry(230, rows[i].y, 50, 16);
  }

  for (const char* caption : {"SPEAK!", "config"}) {
    auto* button = new QPushButton(caption, panel);
    button->setFont(font);
    button->setStyleSheet("color:white;");
    button->setGeometry(320, caption[0] == 'S' ? 260 : 210, 87, 34);
  }

  auto* config = new QWidget(panel);
  config->setStyleSheet("background-color:#B8B8D1;");
  config->setGeometry(15, 165, 290, 130);
  const struct {
    const char* caption;
    int y;
  } switches[] = {{"phonetic mode", 20}, {"filter on", 45}, {"sing mode", 70}};
  for (const auto& s : switches) {
    auto* caption = new QLabel(s.caption, config);
    caption->setFont(font);
    caption->setStyleSheet("color:white;");
    caption->move(2, s.y);
    auto* slider = new QSlider(Qt::Horizontal, config);
    slider->setRange(0, 1);
    slider->setStyleSheet(sliderStyle);
    slider->setValue(s.y == 70 ? int(kPanelValues[4]) : 0);
    slider->setGeometry(180, s.y, 28, 16);
    auto* state = new QLabel("off", config);
    state->setFont(font);
    state->setStyleSheet("color:white;");
    state->setGeometry(230, s.y, 36, 16);
  }
  config->setVisible(false);
  panel->setVisible(true);
  return panel;
}

std::unique_ptr<EditorWindow> makeBareWindow() {
  auto window = std::make_unique<EditorWindow>(nullptr, [] {});
  window->panelHost()->setFixedSize(440, 320);
  buildBarePanel(window->panelHost());
  return window;
}

bool loadUnit(UnitHost* unit) {
  std::string error;
  if (!unit->load(defaultUnitModulePath(), 48000, 1024, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  for (int i = 0; i < 5; ++i)
    if (unit->setParameter(AudioUnitParameterID(i), kPanelValues[i]) != noErr) return false;
  return unit->setText(kPanelText) == noErr;
}

Side sideNamed(const std::string& name) {
  if (name == "editor") return Side::Editor;
  if (name == "host") return Side::Host;
  return Side::Bare;
}

bool showWindow(Side side, ShownWindow* shown, bool exposedOnly) {
  PaintWaiter painted;  // before any widget exists, so no paint is missed
  if (side == Side::Bare) {
    shown->window = makeBareWindow();
  } else {
    const int64_t t0 = nowNs();
    shown->unit = std::make_unique<UnitHost>();
    if (!loadUnit(shown->unit.get())) return false;
    shown->unitLoadMs = msBetween(t0, nowNs());
    shown->window = std::make_unique<EditorWindow>(shown->unit->unit(), [] {});
    QString error;
    if (side == Side::Editor && !shown->window->openEditor(&error)) {
      std::printf("error %s\n", qPrintable(error));
      return false;
    }
  }
  shown->window->show();
  if (side == Side::Host || exposedOnly) return waitExposed(shown->window.get());
  return painted.wait(shown->window->panelHost());
}

PaintWaiter::PaintWaiter() { qApp->installEventFilter(this); }

PaintWaiter::~PaintWaiter() { qApp->removeEventFilter(this); }

bool PaintWaiter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Paint) m_painted.insert(watched);
  return false;
}

bool PaintWaiter::wait(QWidget* root, int timeoutMs) {
  QList<QObject*> watch;
  for (QSlider* w : root->findChildren<QSlider*>())
    if (w->isVisibleTo(root)) watch << w;
  for (QPushButton* w : root->findChildren<QPushButton*>()) watch << w;
  for (QTextEdit* w : root->findChildren<QTextEdit*>()) watch << w->viewport();
  if (watch.size() < 7) return false;  // four sliders, two buttons, the text area
  bool timedOut = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] { timedOut = true; });
  timer.start(timeoutMs);
  auto allPainted = [&] {
    for (QObject* o : watch)
      if (!m_painted.contains(o)) return false;
    return true;
  };
  while (!allPainted() && !timedOut) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return !timedOut;
}

bool waitExposed(QWidget* window, int timeoutMs) {
  bool timedOut = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] { timedOut = true; });
  timer.start(timeoutMs);
  while (!(window->windowHandle() && window->windowHandle()->isExposed()) && !timedOut)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  // Let the first paint of the empty window go by too.
  QCoreApplication::processEvents();
  return !timedOut;
}

void spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace bench
