// The native container and the views that stand for Qt window ids.
#include <QMacNativeWidget>

#include <QApplication>
#include <QLineEdit>
#include <QtTest>

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
};

QTEST_MAIN(TestNativeWidget)
#include "tst_platform_nativewidget.moc"
