// The LV2 UI module as a host sees it, on a real X server: loaded with
// dlopen, embedded into an X window of the test's own, driven through
// port_event and its idle interface.
#include "Lv2UiHost.h"
#include "panelpixels.h"
#include "unittext.h"
#include "X11Window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTest>
#include <QTextEdit>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <memory>

namespace {

constexpr int kWidth = 440;
constexpr int kHeight = 320;

// The rows of the panel: slider and value label share their y.
struct Row {
  int parameter;
  int y;
};
constexpr Row kRows[] = {
    {kGlimmParam_Pitch, 185}, {kGlimmParam_Speed, 210}, {kGlimmParam_Mouth, 235}, {kGlimmParam_Throat, 260}};

}  // namespace

class TestLv2Ui : public QObject {
  Q_OBJECT

  std::unique_ptr<x11test::HostWindow> m_parent;
  UiTestHost m_host;
  QByteArray m_platformBefore;

  bool openUi() {
    UiTestHost::Options o;
    o.parent = m_parent->id();
    m_host.writes.clear();
    m_host.resizes.clear();
    if (!m_host.open(o)) return false;
    m_host.idle();
    return true;
  }

  QWidget* container() const { return QWidget::find(WId(reinterpret_cast<uintptr_t>(m_host.widget))); }

  template <typename T>
  QList<T*> all() const {
    QWidget* c = container();
    return c ? c->findChildren<T*>() : QList<T*>();
  }

  QSlider* sliderAt(int y, QWidget* within = nullptr) const {
    for (QSlider* s : all<QSlider>())
      if (s->y() == y && (!within || s->parentWidget() == within)) return s;
    return nullptr;
  }
  QLabel* valueLabelAt(int y) const {
    for (QLabel* l : all<QLabel>())
      if (l->y() == y && l->x() == 230) return l;
    return nullptr;
  }
  // The config view's switch rows are in their own group widget.
  QSlider* singSwitch() const {
    for (QSlider* s : all<QSlider>())
      if (s->maximum() == 1 && s->y() == 70) return s;
    return nullptr;
  }
  QLabel* singLabel() const {
    for (QLabel* l : all<QLabel>())
      if (l->y() == 70 && l->x() == 230) return l;
    return nullptr;
  }
  QTextEdit* field() const {
    const QList<QTextEdit*> edits = all<QTextEdit>();
    return edits.size() == 1 ? edits.first() : nullptr;
  }
  QPushButton* button(const QString& text) const {
    for (QPushButton* b : all<QPushButton>())
      if (b->text() == text) return b;
    return nullptr;
  }

  QList<UiWrite> controlWrites() const {
    QList<UiWrite> out;
    for (const UiWrite& w : m_host.writes)
      if (w.port >= kGlimmPortFirstParameter) out.append(w);
    return out;
  }

 private slots:
  void initTestCase() {
    m_parent = std::make_unique<x11test::HostWindow>(kWidth, kHeight);
    QVERIFY2(m_parent->ok(), "no X display");
    QVERIFY2(m_host.load(), m_host.error().c_str());
    // The module makes the application object: this process has none, as a
    // host that is not a Qt program.
    QVERIFY(!QCoreApplication::instance());
    m_platformBefore = qgetenv("QT_QPA_PLATFORM");
  }

  void init() { QVERIFY(openUi()); }
  void cleanup() { m_host.close(); }

  void embedsIntoTheParentWindow() {
    QVERIFY(qobject_cast<QApplication*>(QCoreApplication::instance()));
    // Embedding needs xcb whatever the environment asks of Qt programs, and
    // the host's environment is given back as it was.
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QCOMPARE(qgetenv("QT_QPA_PLATFORM"), m_platformBefore);
    QVERIFY(m_host.hasIdle());
    QCOMPARE(m_host.idle(), 0);
    const auto panelWindow = reinterpret_cast<uintptr_t>(m_host.widget);
    QVERIFY(panelWindow != 0);
    QCOMPARE(m_parent->parentOf(panelWindow), m_parent->id());
    QVERIFY(m_parent->viewable(panelWindow));
    QCOMPARE(m_parent->children().size(), size_t(1));
    QWidget* c = container();
    QVERIFY(c);
    QCOMPARE(c->size(), QSize(kWidth, kHeight));
    QCOMPARE(m_host.resizes, (QList<QPair<int, int>>{{kWidth, kHeight}}));
    // The same panel as glimm-host: the text field, four sliders and three
    // switches, SPEAK! and config.
    QVERIFY(field());
    QCOMPARE(all<QSlider>().size(), 7);
    QVERIFY(button("SPEAK!"));
    QVERIFY(button("config"));
  }

  void asksTheDspForItsState() {
    // Before anything else: hosts that never ask still get the text shown.
    QVERIFY(!m_host.writes.isEmpty());
    const UiWrite& first = m_host.writes.first();
    QCOMPARE(first.port, uint32_t(kGlimmPortControl));
    const DecodedPatch p = m_host.decode(first);
    QVERIFY(p.ok);
    QCOMPARE(p.otype, m_host.map(LV2_PATCH__Get));
    QCOMPARE(m_host.writes.size(), 1);
  }

  void withoutResizeStillOpens() {
    m_host.close();
    UiTestHost::Options o;
    o.parent = m_parent->id();
    o.resize = false;
    m_host.resizes.clear();
    QVERIFY(m_host.open(o));
    QVERIFY(m_host.resizes.isEmpty());
    QCOMPARE(container()->size(), QSize(kWidth, kHeight));
  }

  void controlPortsMoveSlidersAndLabels() {
    for (const Row& row : kRows) {
      const float value = row.parameter == kGlimmParam_Speed ? 150 : 200 + row.parameter;
      m_host.sendControl(glimmParameterPort(row.parameter), value);
      QSlider* s = sliderAt(row.y);
      QVERIFY(s);
      QCOMPARE(s->value(), int(value));
      QCOMPARE(valueLabelAt(row.y)->text(), QString::number(int(value)));
    }
    m_host.sendControl(glimmParameterPort(kGlimmParam_SingMode), 1.0f);
    QCOMPARE(singSwitch()->value(), 1);
    QCOMPARE(singLabel()->text(), QStringLiteral("ON"));
    // Values from the DSP are not sent back to it.
    QVERIFY(controlWrites().isEmpty());

    // Nothing moves for what is not a parameter's value.
    const float nan = std::nanf("");
    m_host.sendControl(glimmParameterPort(kGlimmParam_Pitch), nan);
    QCOMPARE(sliderAt(185)->value(), 200);
    const float big = 7;
    m_host.sendRaw(glimmParameterPort(kGlimmParam_Pitch), 2, 0, &big);  // too short for a float
    m_host.sendRaw(glimmParameterPort(kGlimmParam_Pitch), sizeof big, 0, nullptr);
    m_host.sendRaw(kGlimmPortFreeWheel, sizeof big, 0, &big);  // no parameter's port
    m_host.sendRaw(kGlimmPortOut, sizeof big, 0, &big);
    QCOMPARE(sliderAt(185)->value(), 200);
    for (const Row& row : kRows) QVERIFY(sliderAt(row.y)->value() != 7);
  }

  void slidersWriteTheirControlPorts() {
    for (const Row& row : kRows) {
      m_host.writes.clear();
      QSlider* s = sliderAt(row.y);
      const int target = s->value() == 60 ? 61 : 60;
      s->setValue(target);
      QCOMPARE(controlWrites().size(), 1);
      const UiWrite w = controlWrites().first();
      QCOMPARE(w.port, glimmParameterPort(row.parameter));
      QCOMPARE(w.protocol, 0u);
      QCOMPARE(w.size, uint32_t(sizeof(float)));
      QCOMPARE(w.asFloat(), float(target));
      QCOMPARE(valueLabelAt(row.y)->text(), QString::number(target));
    }
    m_host.writes.clear();
    singSwitch()->setValue(1);
    QCOMPARE(controlWrites().size(), 1);
    QCOMPARE(controlWrites().first().port, glimmParameterPort(kGlimmParam_SingMode));
    QCOMPARE(controlWrites().first().asFloat(), 1.0f);
  }

  void typingSendsTheTextAndReturnSpeaks() {
    QTextEdit* f = field();
    QVERIFY(f);
    f->selectAll();
    m_host.writes.clear();
    QTest::keyClicks(f, "hi there");
    const QList<QByteArray> texts = m_host.textsSent();
    QVERIFY(!texts.isEmpty());
    QCOMPARE(texts.last(), QByteArray("hi there"));
    QCOMPARE(m_host.speaksSent(), 0);
    for (const UiWrite& w : m_host.writes) QCOMPARE(w.port, uint32_t(kGlimmPortControl));

    // Non-ASCII arrives as UTF-8.
    const QString eacute = QString::fromUtf8("\xc3\xa9");
    QTest::keyClick(f, Qt::Key_Space);
    QTest::sendKeyEvent(QTest::Click, f, Qt::Key_Eacute, eacute, Qt::NoModifier);
    QTest::keyClick(f, Qt::Key_T);
    QTest::sendKeyEvent(QTest::Click, f, Qt::Key_Eacute, eacute, Qt::NoModifier);
    QCOMPARE(m_host.textsSent().last(), QByteArray("hi there \xc3\xa9t\xc3\xa9"));

    QTest::keyClick(f, Qt::Key_Return);
    QCOMPARE(m_host.speaksSent(), 1);
    QCOMPARE(f->toPlainText(), QString::fromUtf8("hi there \xc3\xa9t\xc3\xa9"));  // Return speaks, adds no line
    QTest::mouseClick(button("SPEAK!"), Qt::LeftButton);
    QCOMPARE(m_host.speaksSent(), 2);
  }

  void announcedTextShowsInTheField() {
    m_host.announceText("from the dsp");
    QCOMPARE(field()->toPlainText(), QStringLiteral("from the dsp"));
    m_host.announceText(QByteArray("<b>plain</b> &amp;"));
    QCOMPARE(field()->toPlainText(), QStringLiteral("<b>plain</b> &amp;"));

    // A text of another property, or a message that lies about its sizes,
    // changes nothing.
    const QByteArray other = m_host.textSet("other", m_host.map("urn:glimm:speech#other"));
    m_host.sendRaw(kGlimmPortNotify, uint32_t(other.size()), m_host.map(LV2_ATOM__eventTransfer), other.constData());
    QByteArray lying = m_host.textSet("lying");
    reinterpret_cast<LV2_Atom*>(lying.data())->size += 64;
    m_host.sendRaw(kGlimmPortNotify, uint32_t(lying.size()), m_host.map(LV2_ATOM__eventTransfer), lying.constData());
    QByteArray deep = m_host.textSet("deep");
    // The value's own size runs past the object.
    auto* obj = reinterpret_cast<LV2_Atom_Object*>(deep.data());
    LV2_ATOM_OBJECT_FOREACH(obj, prop) {
      if (prop->key == m_host.map(LV2_PATCH__value)) prop->value.size = 4000;
    }
    m_host.sendRaw(kGlimmPortNotify, uint32_t(deep.size()), m_host.map(LV2_ATOM__eventTransfer), deep.constData());
    const QByteArray good = m_host.textSet("short");
    m_host.sendRaw(kGlimmPortNotify, 4, m_host.map(LV2_ATOM__eventTransfer), good.constData());
    m_host.sendRaw(kGlimmPortNotify, uint32_t(good.size()), 0, good.constData());  // not an atom at all
    QCOMPARE(field()->toPlainText(), QStringLiteral("<b>plain</b> &amp;"));

    // A text longer than the field holds is cut to what it shows, and the
    // cut goes back, so that the DSP speaks what the field shows.
    m_host.writes.clear();
    m_host.announceText(QByteArray(600, 'x'));
    QCOMPARE(field()->toPlainText().toUtf8(), QByteArray(kGlimmFieldMaxLength, 'x'));
    QVERIFY(!m_host.textsSent().isEmpty());
    QCOMPARE(m_host.textsSent().last(), QByteArray(kGlimmFieldMaxLength, 'x'));
  }

  void olderEchoesDoNotUndoTyping() {
    QTextEdit* f = field();
    f->selectAll();
    QTest::keyClicks(f, "abc");
    QCOMPARE(m_host.textsSent().mid(m_host.textsSent().size() - 3), (QList<QByteArray>{"a", "ab", "abc"}));
    // The DSP's echoes trail the typing.
    m_host.announceText("a");
    QCOMPARE(f->toPlainText(), QStringLiteral("abc"));
    m_host.announceText("ab");
    QCOMPARE(f->toPlainText(), QStringLiteral("abc"));
    m_host.announceText("abc");
    QCOMPARE(f->toPlainText(), QStringLiteral("abc"));
    // Once the latest has come back, a change from elsewhere shows.
    m_host.announceText("preset text");
    QCOMPARE(f->toPlainText(), QStringLiteral("preset text"));

    // A text typed twice is echoed twice: the first echo of it is old.
    f->selectAll();
    QTest::keyClicks(f, "xy");
    QTest::keyClick(f, Qt::Key_Backspace);
    QTest::keyClick(f, Qt::Key_Y);
    QCOMPARE(f->toPlainText(), QStringLiteral("xy"));
    for (const char* echo : {"x", "xy", "x"}) {
      m_host.announceText(echo);
      QCOMPARE(f->toPlainText(), QStringLiteral("xy"));
    }
    m_host.announceText("xy");
    m_host.announceText("x");  // nothing of ours is outstanding: this is new
    QCOMPARE(f->toPlainText(), QStringLiteral("x"));
  }

  void clickingTheFieldTakesTheKeyboardFocus() {
    QTextEdit* f = field();
    m_parent->takeFocus();
    QCOMPARE(m_parent->focusedWindow(), m_parent->id());
    QTest::mouseClick(f->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    const unsigned long focused = m_parent->focusedWindow();
    QVERIFY(focused != m_parent->id());
    QCOMPARE(focused, static_cast<unsigned long>(f->winId()));
    QCOMPARE(m_parent->parentOf(f->winId()) != 0, true);
  }

  // Real X input, as a host delivers it: a click gives the field the
  // keyboard, and typed keys reach it through the X server.
  void realClicksAndKeysReachTheField() {
    QTextEdit* f = field();
    m_parent->takeFocus();
    m_host.writes.clear();
    const QString window = QString::number(m_parent->id());
    QCOMPARE(QProcess::execute("xdotool", {"mousemove", "--window", window, "200", "90", "click", "1"}), 0);
    QElapsedTimer clock;
    clock.start();
    while (m_parent->focusedWindow() != f->winId() && clock.elapsed() < 5000) m_host.idle(1);
    QCOMPARE(m_parent->focusedWindow(), static_cast<unsigned long>(f->winId()));
    QCOMPARE(QProcess::execute("xdotool", {"key", "ctrl+a", "BackSpace"}), 0);
    QCOMPARE(QProcess::execute("xdotool", {"type", "--delay", "5", "typed keys"}), 0);
    clock.restart();
    while (f->toPlainText() != "typed keys" && clock.elapsed() < 5000) m_host.idle(1);
    QCOMPARE(f->toPlainText(), QStringLiteral("typed keys"));
    QCOMPARE(m_host.textsSent().last(), QByteArray("typed keys"));
    QCOMPARE(QProcess::execute("xdotool", {"key", "Return"}), 0);
    clock.restart();
    while (m_host.speaksSent() == 0 && clock.elapsed() < 5000) m_host.idle(1);
    QCOMPARE(m_host.speaksSent(), 1);
  }

  void panelLooksLikeGlimmHost() {
    m_host.idle(20);
    QTest::qWait(50);
    m_host.idle(20);
    QScreen* screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    const QImage shot = screen->grabWindow(WId(m_parent->id())).toImage().convertToFormat(QImage::Format_RGB32);
    const QByteArray out = qgetenv("GLIMM_SCREENSHOT");
    if (!out.isEmpty()) QVERIFY(shot.save(QString::fromLocal8Bit(out)));
    const QString problem = panelpixels::check(shot);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
  }

  void manyOpenCloseCycles() {
    m_host.close();
    m_host.idle();
    const qsizetype widgets = QApplication::allWidgets().size();
    const qsizetype windows = QGuiApplication::allWindows().size();
    for (int i = 0; i < 50; ++i) {
      QVERIFY(openUi());
      m_host.announceText(QByteArray("cycle ") + QByteArray::number(i));
      m_host.sendControl(glimmParameterPort(kGlimmParam_Pitch), float(i));
      QCOMPARE(field()->toPlainText(), QStringLiteral("cycle %1").arg(i));
      m_host.close();
      QCOMPARE(QApplication::allWidgets().size(), widgets);
      QCOMPARE(QGuiApplication::allWindows().size(), windows);
      QVERIFY(m_parent->children().empty());
    }
  }

  void refusesWhatItCannotShow() {
    m_host.close();
    UiTestHost::Options noParent;
    QVERIFY(!m_host.open(noParent));
    UiTestHost::Options noMap;
    noMap.parent = m_parent->id();
    noMap.map = false;
    QVERIFY(!m_host.open(noMap));
    UiTestHost::Options otherPlugin;
    otherPlugin.parent = m_parent->id();
    otherPlugin.plugin = "urn:someone:else";
    QVERIFY(!m_host.open(otherPlugin));
    // A window id that names no window: the panel would never appear.
    UiTestHost::Options gone;
    gone.parent = 0x3fffff0;
    QVERIFY(!m_host.open(gone));
    QVERIFY(m_parent->children().empty());
  }
};

int main(int argc, char** argv) {
  TestLv2Ui test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_lv2ui.moc"
