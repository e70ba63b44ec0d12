// The host with the real speech unit and the real editor bundle on a real X
// server, driven with real X input events (xdotool), as a person would.
#include "audiooutput.h"
#include "editorwindow.h"
#include "unithost.h"

#include "AUGlimm3_Interface.h"

#include <GlimmRunLoopDriver.h>

#include <QLabel>
#include <QSlider>
#include <QTextEdit>
#include <QtTest>

#include <cstring>
#include <memory>

class TestHostEndToEnd : public QObject {
  Q_OBJECT

  std::unique_ptr<GlimmRunLoopDriver> m_driver;
  std::unique_ptr<UnitHost> m_unit;
  std::unique_ptr<AudioOutput> m_audio;
  std::unique_ptr<EditorWindow> m_window;

  void xdotool(const QStringList& args) {
    QProcess p;
    p.start("xdotool", args);
    // Keep serving the window while the events arrive.
    QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 10000);
    QCOMPARE(p.exitCode(), 0);
  }
  void clickAt(QWidget* w, QPoint local) {
    const QPoint g = w->mapToGlobal(local);
    xdotool({"mousemove", "--sync", QString::number(g.x()), QString::number(g.y()), "click", "1"});
  }
  template <class T>
  T* widgetAt(QRect geometry) {
    for (T* w : m_window->panelHost()->findChildren<T*>())
      if (w->geometry() == geometry) return w;
    return nullptr;
  }
  QByteArray unitText() {
    char buffer[kGlimmTextBufferSize] = {};
    UInt32 size = sizeof buffer;
    if (AudioUnitGetProperty(m_unit->unit(), kGlimmProperty_Text, kAudioUnitScope_Global, 0, buffer, &size) != noErr)
      return "<error>";
    return QByteArray(buffer, int(strnlen(buffer, sizeof buffer)));
  }

 private slots:
  void initTestCase() {
    m_driver = std::make_unique<GlimmRunLoopDriver>();
    m_unit = std::make_unique<UnitHost>();
    std::string loadError;
    QVERIFY2(m_unit->load(qEnvironmentVariable("GLIMM_UNIT_MODULE").toStdString(), 48000, 1024, &loadError),
             loadError.c_str());
    QCOMPARE(m_unit->setText("one"), noErr);
    m_audio = std::make_unique<AudioOutput>(m_unit->unit(), 48000);
    m_audio->start({}, &loadError);
    m_window = std::make_unique<EditorWindow>(m_unit->unit(), [this] { m_unit->play(); });
    QString error;
    QVERIFY2(m_window->openEditor(&error), qPrintable(error));
    m_window->move(40, 40);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(m_window->panelHost()->findChild<QTextEdit*>());
  }

  void cleanupTestCase() {
    m_window.reset();
    m_audio.reset();
    m_unit.reset();
    m_driver.reset();
  }

  void typingReachesTheUnitAndReturnSpeaks() {
    auto* field = m_window->panelHost()->findChild<QTextEdit*>();
    QCOMPARE(field->toPlainText(), QString("one"));
    clickAt(field, QPoint(field->width() - 20, field->height() - 20));  // below the text: cursor to the end
    QTRY_VERIFY(field->hasFocus());
    xdotool({"type", "--delay", "20", " two"});
    QTRY_COMPARE(field->toPlainText(), QString("one two"));
    QTRY_COMPARE(unitText(), QByteArray("one two"));

    const auto before = m_audio->framesRendered();
    QVERIFY(m_audio->lastLoudFrame() < before);
    xdotool({"key", "Return"});
    QTRY_VERIFY_WITH_TIMEOUT(m_audio->lastLoudFrame() > before, 10000);
    QCOMPARE(field->toPlainText(), QString("one two"));  // Return spoke; it inserted nothing
  }

  void movingThePitchSliderSetsTheUnit() {
    auto* slider = widgetAt<QSlider>(QRect(100, 185, 120, 16));
    QVERIFY(slider);
    float before = -1;
    QCOMPARE(m_unit->getParameter(kGlimmParam_Pitch, &before), noErr);
    QCOMPARE(slider->value(), int(before));
    clickAt(slider, QPoint(slider->width() - 4, slider->height() / 2));  // the groove's far end
    QTRY_VERIFY(slider->value() > int(before));
    xdotool({"key", "End"});
    QTRY_COMPARE(slider->value(), 255);
    float after = -1;
    QTRY_VERIFY((m_unit->getParameter(kGlimmParam_Pitch, &after), after == 255.f));
  }

  // The title says when the unit is speaking; Escape silences it.
  void escapeStopsSpeakingAndTheTitleFollows() {
    // What the earlier cases said has ended first.
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), QString("Glimm"), 10000);
    QCOMPARE(m_unit->setText("This sentence is long enough to be cut short. It goes on, and on, and on, and on."),
             noErr);
    QCOMPARE(m_unit->play(), noErr);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), QString::fromUtf8("Glimm \u2014 speaking"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_audio->lastLoudFrame() > m_audio->framesRendered() - 4800, 10000);
    m_window->activateWindow();
    QTRY_VERIFY(m_window->isActiveWindow());
    xdotool({"key", "Escape"});
    bool speaking = true;
    QTRY_VERIFY_WITH_TIMEOUT((m_unit->speaking(&speaking), !speaking), 2000);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), QString("Glimm"), 2000);
    // Silent from then on, well before the text would have ended.
    const auto stoppedAt = m_audio->framesRendered();
    QTest::qWait(500);
    QVERIFY2(m_audio->lastLoudFrame() <= stoppedAt,
             qPrintable(QStringLiteral("loud at %1, stopped at %2").arg(m_audio->lastLoudFrame()).arg(stoppedAt)));
  }

  void automationMovesTheSlider() {
    auto* slider = widgetAt<QSlider>(QRect(100, 210, 120, 16));
    auto* label = widgetAt<QLabel>(QRect(230, 210, 50, 16));
    QVERIFY(slider && label);
    QCOMPARE(m_unit->setParameter(kGlimmParam_Speed, 42), noErr);
    // Delivered by the listener on the next turns of the event loop.
    QTRY_COMPARE_WITH_TIMEOUT(slider->value(), 42, 2000);
    QCOMPARE(label->text(), QString("42"));
    float speed = 0;
    QCOMPARE(m_unit->getParameter(kGlimmParam_Speed, &speed), noErr);
    QCOMPARE(speed, 42.f);  // the slider took it without sending anything back
  }

  // File ▸ Open... puts a settings file's text and values into the unit, and
  // the panel follows; a bad file changes nothing. Save... writes them back.
  void settingsFilesFromTheWindow() {
    QTemporaryDir dir;
    const QString good = dir.filePath("good.json"), bad = dir.filePath("bad.json"), saved = dir.filePath("saved.json");
    QFile g(good);
    QVERIFY(g.open(QIODevice::WriteOnly));
    g.write(R"({"glimm-host settings": 1, "text": "from a file", "parameters": {"throat": 30}})");
    g.close();
    QFile b(bad);
    QVERIFY(b.open(QIODevice::WriteOnly));
    b.write(R"({"glimm-host settings": 1, "text": "never seen", "parameters": {"throat": 999}})");
    b.close();

    QString error;
    QVERIFY2(m_window->openSettingsFile(good, &error), qPrintable(error));
    auto* field = m_window->panelHost()->findChild<QTextEdit*>();
    auto* throat = widgetAt<QSlider>(QRect(100, 260, 120, 16));
    QVERIFY(throat);
    QTRY_COMPARE(field->toPlainText(), QString("from a file"));
    QTRY_COMPARE(throat->value(), 30);

    QVERIFY(!m_window->openSettingsFile(bad, &error));
    QVERIFY2(error.contains(bad) && error.contains("throat"), qPrintable(error));
    QTest::qWait(200);
    QCOMPARE(unitText(), QByteArray("from a file"));
    QCOMPARE(throat->value(), 30);

    QVERIFY2(m_window->saveSettingsFile(saved, &error), qPrintable(error));
    QFile s(saved);
    QVERIFY(s.open(QIODevice::ReadOnly));
    const QByteArray json = s.readAll();
    QVERIFY2(json.contains("\"text\": \"from a file\"") && json.contains("\"throat\": 30"), json.constData());

    QStringList actions;
    for (QAction* a : m_window->findChildren<QAction*>()) actions << a->text() + ' ' + a->shortcut().toString();
    QVERIFY2(actions.contains("&Open... Ctrl+O") && actions.contains("&Save... Ctrl+S"), qPrintable(actions.join(',')));
  }
};

QTEST_MAIN(TestHostEndToEnd)
#include "tst_host_e2e.moc"
