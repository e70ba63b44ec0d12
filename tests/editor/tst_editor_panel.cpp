// The editor object's lifecycle and the panel that open builds.
#include "editortest.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QMetaMethod>
#include <QPointer>

using Kind = HostLinkCall::Kind;

namespace {

const char kPanelFamily[] = "Amiga Forever Pro";

QString expectedSliderStyle() {
  QFile file(":Resources/qss/default.css");
  if (!file.open(QIODevice::ReadOnly)) return QString();
  return QString::fromLatin1(file.readAll());
}

struct Expected {
  const char* className;
  QRect geometry;    // an empty size means the label's natural size
  const char* text;  // nullptr: no text to check
  const char* styleSheet;
  bool panelFont;
};

void checkWidget(QWidget* w, const Expected& e, const QString& sliderStyle, int row) {
  const QByteArray where = QByteArray("row ") + QByteArray::number(row) + " (" + e.className + ")";
  QVERIFY2(w, where);
  QCOMPARE(QByteArray(w->metaObject()->className()), QByteArray(e.className));
  QCOMPARE(w->pos(), e.geometry.topLeft());
  const QSize size = e.geometry.size().isEmpty() ? w->sizeHint() : e.geometry.size();
  QVERIFY2(w->size() == size, where);
  const QString style = e.styleSheet ? QString::fromLatin1(e.styleSheet) : sliderStyle;
  QVERIFY2(w->styleSheet() == style, where + " style: " + w->styleSheet().toUtf8());
  if (e.panelFont) {
    QVERIFY2(w->font().family() == kPanelFamily, where);
    QCOMPARE(w->font().pointSize(), 12);
    QVERIFY(!w->font().bold() && !w->font().italic());
  } else {
    QVERIFY2(w->font().family() != kPanelFamily, where);
  }
  if (e.text) {
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w))
      text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
      text = button->text();
    else if (auto* field = qobject_cast<QTextEdit*>(w))
      text = field->toPlainText();
    QVERIFY2(text == QLatin1String(e.text), where + " text: " + text.toUtf8());
  }
  if (auto* slider = qobject_cast<QSlider*>(w)) QCOMPARE(slider->orientation(), Qt::Horizontal);
}

}  // namespace

class TestEditorPanel : public QObject {
  Q_OBJECT

 private slots:
  void init() { RecordingHostLink::instance().reset(); }

  void newEditorHoldsInitialText() {
    TestEditor editor(unitContext());
    QCOMPARE(editor.m_text, QStringLiteral("Execute"));
    QCOMPARE(editor.bufferBytes(), QByteArray("Execute", 8) + QByteArray(504, '\0'));
    QVERIFY(!editor.m_isOpen);
    QVERIFY(!editor.m_panel);
    QVERIFY(RecordingHostLink::instance().calls.isEmpty());
  }

  void slotsAreInTheirPublishedOrder() {
    const QMetaObject& mo = VstGlimm3Editor::staticMetaObject;
    QCOMPARE(QByteArray(mo.className()), QByteArray("VstGlimm3Editor"));
    const QList<QByteArray> expected = {"updateText()",     "processInput()", "setPitch(int)",    "setSpeed(int)",
                                        "setMouth(int)",    "setThroat(int)", "setSingMode(int)", "setFilter(int)",
                                        "setPhonetic(int)", "switchView()"};
    QList<QByteArray> actual;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
      QCOMPARE(mo.method(i).methodType(), QMetaMethod::Slot);
      QCOMPARE(mo.method(i).access(), QMetaMethod::Public);
      actual << mo.method(i).methodSignature();
    }
    QCOMPARE(actual, expected);
  }

  // Before open and after close, updates from either side touch nothing.
  void closedEditorIsInert() {
    auto& link = RecordingHostLink::instance();
    link.setUnitText("from the unit");
    QWidget host;
    host.resize(440, 320);
    TestEditor editor(unitContext());

    auto poke = [&] {
      editor.updateControls(0, 100.f);
      editor.updateControls(4, 1.f);
      editor.updateText();
      editor.updateTextEdit();
      editor.setTextFromAU();
    };
    poke();
    QVERIFY(link.calls.isEmpty());
    QCOMPARE(editor.m_text, QStringLiteral("Execute"));

    QVERIFY(editor.open(&host));
    QVERIFY(editor.m_isOpen);
    QVERIFY(link.calls.isEmpty());  // building runs no slot
    editor.close();
    QVERIFY(!editor.m_isOpen);
    QVERIFY(!editor.m_panel);
    QVERIFY(host.findChildren<QWidget*>().isEmpty());
    poke();
    QVERIFY(link.calls.isEmpty());
    QCOMPARE(editor.bufferText(), QByteArray("Execute"));
    editor.close();  // closing twice is harmless
    QVERIFY(!editor.m_isOpen);
  }

  void openBuildsTheWidgetTree() {
    OpenEditor e;
    TestEditor& ed = *e;
    const QString sliderStyle = expectedSliderStyle();

    QWidget* panel = ed.m_panel;
    QVERIFY(panel);
    QCOMPARE(panel->parentWidget(), e.host.get());
    QCOMPARE(panel->geometry(), QRect(0, 0, 440, 320));
    QCOMPARE(panel->windowType(), Qt::Widget);
    QVERIFY(!panel->isWindow());
    QCOMPARE(panel->styleSheet(), QStringLiteral("background-color:#B8B8D1;"));
    QVERIFY(panel->font().family() != kPanelFamily);
    QVERIFY(panel->isVisible());

    const char* white = "color:#FFFFFF;";
    const char* whiteShort = "color:white;";
    const Expected panelRows[] = {
        {"QLabel", {0, 0, 440, 30}, "", "background:url(':Resources/img/c64bg.png') repeat-x;", false},
        {"QLabel", {320, 164, 122, 32}, "", "background:url(':Resources/img/logo2.png') no-repeat;", false},
        {"GlimmTextEdit",
         {0, 30, 440, 120},
         "Execute",
         "background-color:#4242E7; color:#F0F0F0; border:8px solid #8585DF;",
         true},
        {"QGroupBox",
         {10, 160, 300, 140},
         nullptr,
         "QGroupBox {background-color: transparent; border: 2px solid white;}",
         true},
        {"QSlider", {100, 185, 120, 16}, nullptr, nullptr, false},
        {"QLabel", {16, 185, 0, 0}, "pitch", white, true},
        {"QLabel", {230, 185, 50, 16}, "0", whiteShort, true},
        {"QSlider", {100, 210, 120, 16}, nullptr, nullptr, false},
        {"QLabel", {16, 210, 0, 0}, "speed", white, true},
        {"QLabel", {230, 210, 50, 16}, "20", whiteShort, true},
        {"QSlider", {100, 235, 120, 16}, nullptr, nullptr, false},
        {"QLabel", {16, 235, 0, 0}, "mouth", white, true},
        {"QLabel", {230, 235, 50, 16}, "0", whiteShort, true},
        {"QSlider", {100, 260, 120, 16}, nullptr, nullptr, false},
        {"QLabel", {16, 260, 0, 0}, "throat", white, true},
        {"QLabel", {230, 260, 50, 16}, "0", whiteShort, true},
        {"QPushButton", {320, 260, 87, 34}, "SPEAK!", whiteShort, true},
        {"QPushButton", {320, 210, 87, 34}, "config", whiteShort, true},
        {"QWidget", {15, 165, 290, 130}, nullptr, "background-color:#B8B8D1;", false},
    };
    const QList<QWidget*> children = ed.panelChildren();
    QCOMPARE(children.size(), int(std::size(panelRows)));
    for (int i = 0; i < children.size(); ++i) {
      checkWidget(children[i], panelRows[i], sliderStyle, i + 2);
      if (QTest::currentTestFailed()) return;
      QCOMPARE(children[i]->isVisible(), children[i] != ed.m_configGroup);
    }

    const Expected groupRows[] = {
        {"QLabel", {2, 20, 0, 0}, "phonetic mode", whiteShort, true},
        {"QSlider", {180, 20, 28, 16}, nullptr, nullptr, false},
        {"QLabel", {230, 20, 36, 16}, "off", whiteShort, true},
        {"QLabel", {2, 45, 0, 0}, "filter on", whiteShort, true},
        {"QSlider", {180, 45, 28, 16}, nullptr, nullptr, false},
        {"QLabel", {230, 45, 36, 16}, "off", whiteShort, true},
        {"QLabel", {2, 70, 0, 0}, "sing mode", whiteShort, true},
        {"QSlider", {180, 70, 28, 16}, nullptr, nullptr, false},
        {"QLabel", {230, 70, 36, 16}, "off", whiteShort, true},
    };
    const QList<QWidget*> group = ed.m_configGroup->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(group.size(), int(std::size(groupRows)));
    for (QWidget* w : group) {
      QVERIFY(!w->isHidden());
      QVERIFY(!w->isVisible());
    }
    // Unsized captions take their natural size when first shown.
    ed.m_configGroup->show();
    for (int i = 0; i < group.size(); ++i) {
      checkWidget(group[i], groupRows[i], sliderStyle, i + 21);
      if (QTest::currentTestFailed()) return;
    }
    ed.m_configGroup->hide();

    // The fields point at the right widgets.
    QCOMPARE(ed.m_logoLabel, children[1]);
    QCOMPARE(static_cast<QWidget*>(ed.m_textEdit), children[2]);
    QCOMPARE(ed.m_pitchSlider, children[4]);
    QCOMPARE(ed.m_pitchLabel, children[6]);
    QCOMPARE(ed.m_speedSlider, children[7]);
    QCOMPARE(ed.m_speedLabel, children[9]);
    QCOMPARE(ed.m_mouthSlider, children[10]);
    QCOMPARE(ed.m_mouthLabel, children[12]);
    QCOMPARE(ed.m_throatSlider, children[13]);
    QCOMPARE(ed.m_throatLabel, children[15]);
    QCOMPARE(ed.m_viewButton, children[17]);
    QCOMPARE(ed.m_configGroup, children[18]);
    QCOMPARE(ed.m_phoneticSwitch, group[1]);
    QCOMPARE(ed.m_phoneticLabel, group[2]);
    QCOMPARE(ed.m_filterSwitch, group[4]);
    QCOMPARE(ed.m_filterLabel, group[5]);
    QCOMPARE(ed.m_singSwitch, group[7]);
    QCOMPARE(ed.m_singLabel, group[8]);

    // Ranges and values.
    const QList<QPair<QSlider*, QPair<int, int>>> ranges = {
        {ed.m_pitchSlider, {0, 255}},  {ed.m_speedSlider, {20, 200}}, {ed.m_mouthSlider, {0, 255}},
        {ed.m_throatSlider, {0, 255}}, {ed.m_phoneticSwitch, {0, 1}}, {ed.m_filterSwitch, {0, 1}},
        {ed.m_singSwitch, {0, 1}}};
    for (const auto& r : ranges) {
      QCOMPARE(r.first->minimum(), r.second.first);
      QCOMPARE(r.first->maximum(), r.second.second);
      QCOMPARE(r.first->value(), r.second.first);
    }

    QCOMPARE(qobject_cast<QGroupBox*>(children[3])->title(), QString());
    QVERIFY(!qobject_cast<QGroupBox*>(children[3])->isFlat());
    QCOMPARE(ed.m_textEdit->cursorWidth(), 12);
    QVERIFY(!ed.m_textEdit->acceptRichText());
    QCOMPARE(e.host->focusWidget(), static_cast<QWidget*>(ed.m_textEdit));
    QVERIFY(!ed.m_configShown);
    QVERIFY(RecordingHostLink::instance().calls.isEmpty());
  }

  // Each signal reaches its slot exactly once, and the editor's connections
  // come before any made after open.
  void signalsReachTheirSlots() {
    OpenEditor e;
    TestEditor& ed = *e;
    auto& link = RecordingHostLink::instance();

    int callsWhenLaterReceiverRan = -1;
    QObject::connect(ed.m_pitchSlider, &QSlider::valueChanged,
                     [&] { callsWhenLaterReceiverRan = int(link.calls.size()); });

    struct SliderCase {
      QSlider* slider;
      int index;
      QLabel* label;
    };
    const SliderCase sliders[] = {{ed.m_pitchSlider, 0, ed.m_pitchLabel},
                                  {ed.m_speedSlider, 1, ed.m_speedLabel},
                                  {ed.m_mouthSlider, 2, ed.m_mouthLabel},
                                  {ed.m_throatSlider, 3, ed.m_throatLabel}};
    for (const SliderCase& c : sliders) {
      link.calls.clear();
      emit c.slider->valueChanged(42);
      QCOMPARE(link.calls.size(), 1);
      QCOMPARE(link.calls[0].kind, Kind::Parameter);
      QCOMPARE(link.calls[0].index, c.index);
      QCOMPARE(link.calls[0].value, 42.f);
      QCOMPARE(link.calls[0].sender, static_cast<void*>(c.slider));
      QCOMPARE(c.label->text(), QStringLiteral("42"));
    }
    // The later receiver ran in the pitch case and saw the editor's call made.
    QCOMPARE(callsWhenLaterReceiverRan, 1);

    link.calls.clear();
    emit ed.m_singSwitch->valueChanged(1);
    QCOMPARE(link.count(Kind::Parameter), 1);
    QCOMPARE(link.calls[0].index, 4);
    QCOMPARE(ed.m_singLabel->text(), QStringLiteral("ON"));

    link.calls.clear();
    emit ed.m_phoneticSwitch->valueChanged(1);
    emit ed.m_filterSwitch->valueChanged(1);
    QCOMPARE(link.count(Kind::Parameter), 2);
    QCOMPARE(link.calls[0].index, 5);
    QCOMPARE(link.calls[1].index, 6);
    QCOMPARE(ed.m_phoneticLabel->text(), QStringLiteral("ON"));
    QCOMPARE(ed.m_filterLabel->text(), QStringLiteral("ON"));

    emit ed.m_viewButton->clicked();
    QVERIFY(ed.m_configShown);

    link.calls.clear();
    emit ed.m_textEdit->enterPressed();
    emit ed.speakButton()->pressed();
    QCOMPARE(link.count(Kind::Play), 2);
    QCOMPARE(link.calls.size(), 2);

    link.calls.clear();
    ed.m_textEdit->setPlainText("hello");
    QCOMPARE(link.count(Kind::Text), 1);
    QCOMPARE(link.calls[0].text(), QByteArray("hello"));
    QCOMPARE(link.calls[0].sender, static_cast<void*>(ed.m_textEdit));

    // clicked() belongs to the field alone: nothing listens to it.
    link.calls.clear();
    emit ed.m_textEdit->clicked();
    QVERIFY(link.calls.isEmpty());
  }

  void reopenRebuildsWithCurrentText() {
    OpenEditor e;
    TestEditor& ed = *e;
    ed.m_textEdit->setPlainText("second text");
    ed.switchView();
    ed.m_pitchSlider->setValue(99);
    QPointer<QWidget> oldPanel = ed.m_panel.data();

    ed.close();
    QVERIFY(!oldPanel);
    QVERIFY(ed.open(e.host.get()));
    QVERIFY(ed.m_isOpen);
    QCOMPARE(e.host->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(), 1);
    QCOMPARE(ed.m_textEdit->toPlainText(), QStringLiteral("second text"));
    QVERIFY(!ed.m_configShown);
    QVERIFY(ed.m_configGroup->isHidden());
    QCOMPARE(ed.m_viewButton->text(), QStringLiteral("config"));
    QCOMPARE(ed.m_pitchLabel->text(), QStringLiteral("0"));
    QCOMPARE(ed.m_singLabel->text(), QStringLiteral("off"));

    // The new widgets are wired as the old ones were.
    RecordingHostLink::instance().calls.clear();
    ed.m_throatSlider->setValue(3);
    QCOMPARE(RecordingHostLink::instance().count(Kind::Parameter), 1);
  }

  // A host that destroys its container first leaves the editor without a
  // panel; later updates and the destructor must not touch freed widgets.
  void hostDestroysContainerFirst() {
    auto host = std::make_unique<QWidget>();
    host->resize(440, 320);
    TestEditor editor(unitContext());
    editor.open(host.get());
    host.reset();
    QVERIFY(!editor.m_panel);
    RecordingHostLink::instance().setUnitText("changed");
    editor.updateControls(0, 5.f);
    editor.updateTextEdit();
    editor.updateText();
    editor.processInput();
    QVERIFY(RecordingHostLink::instance().calls.isEmpty());
  }

  void openNeedsAParent() {
    TestEditor editor(unitContext());
    QVERIFY(!editor.open(nullptr));
    QVERIFY(!editor.m_isOpen);
    QVERIFY(!editor.m_panel);
  }

  void pluginInstanceDefersToAnExistingApplication() {
    QCoreApplication* app = QCoreApplication::instance();
    QVERIFY(app);
    QVERIFY(!pluginInstance());
    QVERIFY(!VstGlimm3Editor::pluginInstance());
    QCOMPARE(QCoreApplication::instance(), app);
  }

#ifdef GLIMM_TEST_HAVE_RESOURCES
  void fontRegistersOncePerProcess() {
    for (int i = 0; i < 3; ++i) {
      OpenEditor e;
      QCOMPARE(QFontInfo(e->m_textEdit->font()).family(), QString::fromLatin1(kPanelFamily));
    }
    QCOMPARE(QFontDatabase::applicationFontFamilies(0), QStringList{kPanelFamily});
    QVERIFY(QFontDatabase::applicationFontFamilies(1).isEmpty());
    // Application font ids are list positions: a fresh one lands right after
    // the single font the panels registered.
    const int id = QFontDatabase::addApplicationFont(":Resources/fonts/amiga4ever pro.ttf");
    QCOMPARE(id, 1);
    QFontDatabase::removeApplicationFont(id);
  }

  void sliderStyleComesFromTheResources() {
    OpenEditor e;
    QVERIFY(e->m_pitchSlider->styleSheet().contains("QSlider::groove:horizontal"));
    QCOMPARE(e->m_singSwitch->styleSheet(), e->m_pitchSlider->styleSheet());
  }
#else
  // Without the resource collection there is no style sheet: the sliders
  // keep the toolkit's look and everything else is as usual.
  void missingStyleSheetLeavesSlidersUnstyled() {
    QVERIFY(!QFile::exists(":Resources/qss/default.css"));
    OpenEditor e;
    for (QSlider* s : e->m_panel->findChildren<QSlider*>()) QVERIFY(s->styleSheet().isEmpty());
    QCOMPARE(e->m_panel->findChildren<QSlider*>().size(), 7);
    QCOMPARE(e->m_textEdit->font().family(), QString::fromLatin1(kPanelFamily));
    QCOMPARE(e->m_textEdit->toPlainText(), QStringLiteral("Execute"));
    QVERIFY(e->m_isOpen);
  }
#endif
};

QTEST_MAIN(TestEditorPanel)
#include "tst_editor_panel.moc"
