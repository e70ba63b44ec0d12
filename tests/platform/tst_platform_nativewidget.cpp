// The native container and the views that stand for Qt window ids.
#include <QMacNativeWidget>

#include <QApplication>
#include <QLineEdit>
#include <QtTest>

#include <memory>

class TestNativeWidget : public QObject {
  Q_OBJECT

 private slots:
  void nativeViewsJoinTheHostWindowAndTakeFocus() {
    auto* window = new NSWindow();
    auto* hostView = new NSView();
    window->contentView()->addSubview(hostView);
    auto* parentView = new NSView();

    auto* container = new QMacNativeWidget(parentView);
    QCOMPARE(container->parentView(), parentView);
    QCOMPARE(parentView->retainCount(), NSUInteger(2));
    container->move(0, 0);
    container->setFixedSize(440, 320);
    auto* field = new QLineEdit(container);
    field->setGeometry(0, 30, 440, 120);
    auto* other = new QLineEdit(container);
    other->setGeometry(0, 200, 100, 20);
    container->show();

    NSView* containerView = GlimmNativeViewForWinId(uintptr_t(container->winId()));
    QVERIFY(containerView);
    QCOMPARE(GlimmNativeViewForWinId(uintptr_t(container->winId())), containerView);  // one per window id
    QVERIFY(NSEqualRects(containerView->frame(), NSMakeRect(0, 0, 440, 320)));
    QVERIFY(!GlimmNativeViewForWinId(0));
    QVERIFY(!GlimmNativeViewForWinId(uintptr_t(0x7fffffff)));

    // The field's view stands outside any view tree; until the container's
    // view joins the host window, there is no window to ask.
    const uintptr_t fieldId = uintptr_t(field->winId());
    NSView* fieldView = GlimmNativeViewForWinId(fieldId);
    QVERIFY(fieldView && fieldView != containerView);
    QVERIFY(!fieldView->window());
    QVERIFY(NSEqualRects(fieldView->frame(), NSMakeRect(0, 30, 440, 120)));

    hostView->addSubview(containerView, NSWindowAbove, nullptr);
    QCOMPARE(containerView->window(), window);
    QCOMPARE(fieldView->window(), window);  // through the Qt parent chain

    other->setFocus();
    QCOMPARE(container->focusWidget(), static_cast<QWidget*>(other));
    QVERIFY(window->makeFirstResponder(fieldView));
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(fieldView));
    QCOMPARE(container->focusWidget(), static_cast<QWidget*>(field));

    // A widget that goes takes its view's id with it; the window holds no dangling responder.
    delete field;
    QVERIFY(!GlimmNativeViewForWinId(fieldId));
    QVERIFY(!fieldView->acceptsFirstResponder());
    QVERIFY(window->makeFirstResponder(nullptr));

    delete container;
    QVERIFY(hostView->subviews().empty());
    QCOMPARE(parentView->retainCount(), NSUInteger(1));
    parentView->release();
    hostView->release();
    window->release();
  }

  // Put on the screen as a window of its own, the container would be a window
  // manager's to frame while a host is reparenting it (and the panel would be
  // drawn where its input is not). It shows only once it has a parent.
  void staysOffTheScreenUntilAHostAdoptsIt_data() {
    QTest::addColumn<bool>("asWidget");
    QTest::newRow("widget parent") << true;
    QTest::newRow("window parent") << false;
  }
  void staysOffTheScreenUntilAHostAdoptsIt() {
    QFETCH(bool, asWidget);
    QWidget host;
    host.resize(460, 340);
    host.winId();
    auto* parentView = new NSView();
    auto container = std::make_unique<QMacNativeWidget>(parentView);
    parentView->release();
    container->setFixedSize(440, 320);
    container->winId();
    container->show();
    QVERIFY(container->isVisible());  // shown, as far as the editor can tell
    QTest::qWait(200);
    QVERIFY(!container->windowHandle()->isExposed());

    if (asWidget) {
      container->setParent(&host);
      container->move(10, 10);
    } else {
      container->windowHandle()->setParent(host.windowHandle());
      container->windowHandle()->setPosition(10, 10);
    }
    container->show();
    host.show();
    QTRY_VERIFY(container->windowHandle()->isExposed());
  }
};

QTEST_MAIN(TestNativeWidget)
#include "tst_platform_nativewidget.moc"
