// The built editor bundle as a host meets it: found through the unit's
// Cocoa-UI property, loaded, its factory looked up by name, the view put in a
// window, and the panel driven with real X input (xdotool, under Xvfb).
#include "FakeSpeechUnit.h"
#include "cocoaviewloader.h"

#include <GlimmRunLoopDriver.h>
#include <QMacNativeWidget.h>

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTextEdit>
#include <QWindow>

#include <dlfcn.h>

#include <cstring>

namespace {

struct UnitScope : fakeunit::Instance {
  UnitScope() : fakeunit::Instance(fakeunit::newInstance()) { unit->editorBundle = GLIMM_BUNDLE_PATH; }
  ~UnitScope() { AudioComponentInstanceDispose(au); }
};

// The native container behind the host view's subview: the top-level widget
// whose window id maps to that native view.
QWidget* containerOf(NSView* view) {
  if (view->subviews().empty()) return nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->internalWinId() && GlimmNativeViewForWinId(uintptr_t(w->internalWinId())) == view->subviews()[0]) return w;
  return nullptr;
}

// Real pointer and key events through the X server's test extension.
bool xdo(const QStringList& args) { return QProcess::execute("xdotool", args) == 0; }

bool clickAt(QWidget* window, QPoint p) {
  const QString wid = QString::number(window->winId());
  return xdo({"mousemove", "--sync", "--window", wid, QString::number(p.x()), QString::number(p.y())}) &&
         xdo({"click", "1"});
}

}  // namespace

class BridgeBundleTest : public QObject {
  Q_OBJECT

 private slots:
  void loadingRegistersAndUnloadingUnregisters() {
    QVERIFY(!NSClassFromString("AUGlimm3_ViewFactory"));
    QVERIFY(!QFile::exists(":/Resources/qss/default.css"));
    void* bundle = dlopen(GLIMM_BUNDLE_PATH, RTLD_NOW | RTLD_LOCAL);
    QVERIFY2(bundle, dlerror());
    QVERIFY(NSClassFromString("AUGlimm3_ViewFactory"));
    QVERIFY(QFile::exists(":/Resources/qss/default.css"));
    QVERIFY(QFile::exists(":Resources/fonts/amiga4ever pro.ttf"));
    QCOMPARE(dlclose(bundle), 0);
    QVERIFY(!NSClassFromString("AUGlimm3_ViewFactory"));
    QVERIFY(!QFile::exists(":/Resources/qss/default.css"));
  }

  void hostDrivesThePanelWithRealInput_data() {
    QTest::addColumn<bool>("adoptWidget");
    QTest::newRow("window reparented") << false;
    QTest::newRow("widget reparented") << true;
  }

  void hostDrivesThePanelWithRealInput() {
    QFETCH(bool, adoptWidget);
    GlimmRunLoopDriver driver;
    UnitScope u;
    u.unit->params[1] = 100;
    std::strcpy(u.unit->text, "start");
    QCoreApplication* app = QCoreApplication::instance();

    std::string error;
    NSView* view = GlimmCreateCocoaView(u.au, NSMakeSize(123, 45), &error);
    QVERIFY2(view, error.c_str());
    QCOMPARE(QCoreApplication::instance(), app);
    QVERIFY(NSEqualRects(view->frame(), NSMakeRect(0, 0, 440, 320)));
    auto* window = new NSWindow;
    window->contentView()->addSubview(view);

    // The host's window. The container moves into it either as a widget or
    // as a native window; both keep its window id and so its native view.
    QWidget host;
    host.setWindowTitle("host");
    host.resize(460, 340);
    host.move(0, 0);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QWidget* container = containerOf(view);
    QVERIFY(container);
    const WId containerId = container->winId();
    QWindow* hostWindow = nullptr;
    if (adoptWidget) {
      container->setParent(&host);
      container->move(10, 10);
    } else {
      hostWindow = QWindow::fromWinId(host.winId());
      container->windowHandle()->setParent(hostWindow);
      container->windowHandle()->setPosition(10, 10);
    }
    container->show();
    QTRY_VERIFY(container->windowHandle()->isExposed());
    QCOMPARE(container->winId(), containerId);

    QTextEdit* field = container->findChild<QTextEdit*>();
    const QList<QSlider*> sliders = container->findChildren<QSlider*>();
    QVERIFY(field);
    QCOMPARE(sliders.size(), 7);
    QCOMPARE(field->toPlainText(), QString("start"));
    QCOMPARE(sliders[1]->value(), 100);

    // A click in the text field gives it the host window's keyboard.
    QVERIFY(clickAt(container, QPoint(200, 90)));
    QTRY_VERIFY(field->internalWinId() &&
                window->firstResponder() == GlimmNativeViewForWinId(uintptr_t(field->internalWinId())));
    QVERIFY(xdo({"key", "--delay", "20", "ctrl+a"}));
    QVERIFY(xdo({"type", "--delay", "20", "hi there"}));
    QTRY_COMPARE(std::string(u.unit->text), std::string("hi there"));
    QVERIFY(u.unit->playSizes.empty());
    QVERIFY(xdo({"key", "Return"}));
    QTRY_COMPARE(u.unit->playSizes, (std::vector<UInt32>{8}));
    QCOMPARE(field->toPlainText(), QString("hi there"));
    for (UInt32 size : u.unit->textSetSizes) QCOMPARE(size, UInt32(512));

    // Dragging the pitch handle (slider at 100,185, 120 wide) to the right.
    const QString cid = QString::number(container->winId());
    QVERIFY(xdo({"mousemove", "--sync", "--window", cid, "104", "193"}));
    QVERIFY(xdo({"mousedown", "1"}));
    QVERIFY(xdo({"mousemove", "--sync", "--window", cid, "160", "193"}));
    QVERIFY(xdo({"mousemove", "--sync", "--window", cid, "210", "193"}));
    QVERIFY(xdo({"mouseup", "1"}));
    QTRY_VERIFY(sliders[0]->value() > 150);
    QTRY_COMPARE(u.unit->params[0], float(sliders[0]->value()));

    // The SPEAK! button (320,260, 87 x 34).
    QVERIFY(clickAt(container, QPoint(360, 277)));
    QTRY_COMPARE(u.unit->playSizes.size(), size_t(2));

    // Changes made by the unit arrive through the run-loop driver.
    AudioUnitParameter speed{u.au, 1, kAudioUnitScope_Global, 0};
    QCOMPARE(AUParameterSet(nullptr, nullptr, &speed, 150, 0), OSStatus(noErr));
    fakeunit::setTextFromUnit(u.au, "from the unit");
    QTRY_COMPARE(sliders[1]->value(), 150);
    QTRY_COMPARE(field->toPlainText(), QString("from the unit"));

    const QByteArray shot = qgetenv("GLIMM_SCREENSHOT");
    if (!shot.isEmpty() && !adoptWidget) container->grab().save(QString::fromLocal8Bit(shot));

    QPointer<QWidget> guard(container);
    view->removeFromSuperview();
    view->release();
    QVERIFY(!guard);
    QVERIFY(u.unit->listeners.empty());
    delete hostWindow;
    window->release();
  }
};

QTEST_MAIN(BridgeBundleTest)

#include "tst_bridge_bundle.moc"
