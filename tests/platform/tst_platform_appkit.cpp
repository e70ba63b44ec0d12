// Objects, pools, views, windows, assertions and the class registry.
#include <AudioUnit/AUCocoaUIView.h>

#include <QtTest>

#include <thread>
#include <vector>

namespace {

std::vector<int>* gDeallocLog = nullptr;

class Tracked : public NSView {
 public:
  explicit Tracked(int tag, BOOL accepts = YES, BOOL becomes = YES) : tag(tag), accepts(accepts), becomes(becomes) {}
  BOOL acceptsFirstResponder() override { return accepts; }
  BOOL becomeFirstResponder() override {
    ++asked;
    return becomes;
  }
  BOOL resignFirstResponder() override { return resigns; }
  void mouseDown(NSEvent* e) override {
    ++clicks;
    NSView::mouseDown(e);
  }
  int tag;
  BOOL accepts, becomes, resigns = YES;
  int asked = 0, clicks = 0;

 protected:
  void dealloc() override {
    if (gDeallocLog) gDeallocLog->push_back(tag);
    NSView::dealloc();
  }
};

class RecordingHandler : public NSAssertionHandler {
 public:
  void handleFailureInMethod(const char* selector, NSObject* object, const char* file, NSInteger line,
                             const char* description) override {
    lastSelector = selector;
    lastObject = object;
    lastFile = file;
    lastLine = line;
    lastDescription = description;
  }
  QByteArray lastSelector, lastFile, lastDescription;
  NSObject* lastObject = nullptr;
  NSInteger lastLine = 0;
};

class Factory : public NSObject, public AUCocoaUIBase {
 public:
  unsigned interfaceVersion() override { return 0; }
  NSView* uiViewForAudioUnit(AudioUnit, NSSize) override {
    return static_cast<NSView*>((new NSView(NSMakeRect(0, 0, 440, 320)))->autorelease());
  }
};
NSObject* makeFactory() { return new Factory(); }
NSObject* makePlain() { return new NSObject(); }

QVector<int> tags(const NSView* v) {
  QVector<int> out;
  for (NSView* s : v->subviews()) out.push_back(static_cast<Tracked*>(s)->tag);
  return out;
}

}  // namespace

class TestAppKit : public QObject {
  Q_OBJECT

 private slots:
  void retainReleaseAndPools() {
    std::vector<int> log;
    gDeallocLog = &log;
    auto* a = new Tracked(1);
    QCOMPARE(a->retainCount(), NSUInteger(1));
    a->retain();
    a->release();
    QVERIFY(log.empty());

    auto* outer = new NSAutoreleasePool();
    a->autorelease();
    (new Tracked(2))->autorelease();
    auto* inner = new NSAutoreleasePool();
    (new Tracked(3))->autorelease();
    (new Tracked(4))->autorelease();
    inner->drain();
    QCOMPARE(log, (std::vector<int>{4, 3}));  // newest first, outer pool untouched
    auto* forgotten = new NSAutoreleasePool();
    (new Tracked(5))->autorelease();
    (void)forgotten;
    outer->drain();  // drains the inner pool left open too
    QCOMPARE(log, (std::vector<int>{4, 3, 5, 2, 1}));

    // Autoreleased with no pool: released when the thread ends, not leaked.
    log.clear();
    std::thread([] { (new Tracked(6))->autorelease(); }).join();
    QCOMPARE(log, (std::vector<int>{6}));

    auto* pool = new NSAutoreleasePool();
    NSString* s = NSString::stringWithUTF8String("h\xc3\xa9llo");
    QCOMPARE(s->length(), NSUInteger(5));
    QVERIFY(s->isEqualToString(NSString::stringWithCFString(CFSTR("h\xc3\xa9llo"))));
    QVERIFY(!s->isEqualToString(NSString::stringWithUTF8String("hello")));
    pool->drain();
    gDeallocLog = nullptr;
  }

  void subviewOrderingAndOwnership() {
    std::vector<int> log;
    gDeallocLog = &log;
    auto* root = new Tracked(0);
    auto* a = new Tracked(1);
    auto* b = new Tracked(2);
    auto* c = new Tracked(3);
    auto* d = new Tracked(4);
    root->addSubview(a);
    root->addSubview(b, NSWindowAbove, nullptr);
    root->addSubview(c, NSWindowBelow, nullptr);
    QCOMPARE(tags(root), (QVector<int>{3, 1, 2}));
    root->addSubview(d, NSWindowAbove, c);
    QCOMPARE(tags(root), (QVector<int>{3, 4, 1, 2}));
    root->addSubview(c, NSWindowAbove, b);  // moving an existing subview
    QCOMPARE(tags(root), (QVector<int>{4, 1, 2, 3}));
    root->addSubview(b, NSWindowBelow, d);
    QCOMPARE(tags(root), (QVector<int>{2, 4, 1, 3}));
    QCOMPARE(b->superview(), static_cast<NSView*>(root));
    QCOMPARE(b->retainCount(), NSUInteger(2));

    // No cycles: a view cannot become a subview of its own descendant.
    a->addSubview(d);
    d->addSubview(root);
    QCOMPARE(root->superview(), static_cast<NSView*>(nullptr));
    QCOMPARE(tags(a), QVector<int>{4});

    for (auto* v : {a, b, c, d}) v->release();
    QVERIFY(log.empty());  // the tree keeps them
    b->removeFromSuperview();
    QCOMPARE(log, std::vector<int>{2});
    root->release();
    std::sort(log.begin(), log.end());
    QCOMPARE(log, (std::vector<int>{0, 1, 2, 3, 4}));
    gDeallocLog = nullptr;
  }

  void windowsAndFirstResponder() {
    auto* window = new NSWindow();
    auto* host = new Tracked(1);
    auto* inner = new Tracked(2);
    auto* refuses = new Tracked(3, NO);
    auto* declines = new Tracked(4, YES, NO);
    host->addSubview(inner);
    host->addSubview(refuses);
    host->addSubview(declines);
    QVERIFY(!inner->window());
    window->contentView()->addSubview(host);
    QCOMPARE(inner->window(), window);  // found through the superviews

    QVERIFY(window->makeFirstResponder(inner));
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(inner));
    QVERIFY(!window->makeFirstResponder(refuses));
    QCOMPARE(refuses->asked, 0);  // not asked to become what it does not accept
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(window));
    QVERIFY(!window->makeFirstResponder(declines));
    QCOMPARE(declines->asked, 1);
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(window));

    // The current first responder may refuse to resign.
    QVERIFY(window->makeFirstResponder(host));
    host->resigns = NO;
    QVERIFY(!window->makeFirstResponder(inner));
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(host));
    host->resigns = YES;

    // A view of another window is refused without changes.
    auto* other = new NSWindow();
    auto* stranger = new Tracked(5);
    other->contentView()->addSubview(stranger);
    QVERIFY(!window->makeFirstResponder(stranger));
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(host));

    // Clicks travel up the views to the window.
    inner->mouseDown(NSEvent::mouseEventWithType(NSEventTypeLeftMouseDown, NSMakePoint(1, 2)));
    QCOMPARE(inner->clicks, 1);
    QCOMPARE(host->clicks, 1);

    // Leaving the window gives up first responder; nothing dangles.
    QVERIFY(window->makeFirstResponder(inner));
    host->retain();
    host->removeFromSuperview();
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(window));
    QVERIFY(!inner->window());
    host->release();
    for (auto* v : {host, inner, refuses, declines, stranger}) v->release();
    window->release();
    other->release();
  }

  void assertionHandlers() {
    NSAssertionHandler* def = NSAssertionHandler::currentHandler();
    QCOMPARE(NSAssertionHandler::currentHandler(), def);
    bool thrown = false;
    try {
      def->handleFailureInMethod("priv_sync", nullptr, "CocoaUI/AUGlimm3_UIView", 12, "(x.1) failed");
    } catch (const NSInternalInconsistencyException& e) {
      thrown = true;
      QCOMPARE(QByteArray(e.what()), QByteArray("(x.1) failed"));
    }
    QVERIFY(thrown);

    auto* rec = new RecordingHandler();
    NSAssertionHandler::setCurrentHandler(rec);
    rec->release();  // the thread holds it now
    auto* subject = new NSObject();
    NSAssertionHandler::currentHandler()->handleFailureInMethod("setAU", subject, "file", 7, "bad");
    QCOMPARE(rec->lastSelector, QByteArray("setAU"));
    QCOMPARE(rec->lastObject, subject);
    QCOMPARE(rec->lastLine, NSInteger(7));
    QCOMPARE(rec->lastDescription, QByteArray("bad"));
    subject->release();

    // Another thread keeps its own default.
    NSAssertionHandler* elsewhere = nullptr;
    std::thread([&] { elsewhere = NSAssertionHandler::currentHandler(); }).join();
    QVERIFY(elsewhere != rec);
    NSAssertionHandler::setCurrentHandler(nullptr);
    QVERIFY(NSAssertionHandler::currentHandler() != rec);
  }

  void classRegistry() {
    QVERIFY(!NSClassFromString("GlimmTestFactory"));
    Class cls = GlimmClassRegister("GlimmTestFactory", makeFactory);
    QVERIFY(cls);
    QVERIFY(!GlimmClassRegister("GlimmTestFactory", makePlain));  // taken
    QCOMPARE(NSClassFromString("GlimmTestFactory"), cls);
    auto* pool = new NSAutoreleasePool();
    QCOMPARE(NSClassFromString(NSString::stringWithUTF8String("GlimmTestFactory")), cls);
    QCOMPARE(QByteArray(GlimmClassGetName(cls)), QByteArray("GlimmTestFactory"));

    NSObject* obj = GlimmClassCreateInstance(cls);
    auto* factory = dynamic_cast<AUCocoaUIBase*>(obj);
    QVERIFY(factory);
    QCOMPARE(factory->interfaceVersion(), 0u);
    NSView* view = factory->uiViewForAudioUnit(nullptr, NSMakeSize(1, 1));
    QVERIFY(NSEqualRects(view->frame(), NSMakeRect(0, 0, 440, 320)));
    obj->release();
    pool->drain();

    Class plain = GlimmClassRegister("GlimmTestPlain", makePlain);
    NSObject* p = GlimmClassCreateInstance(plain);
    QVERIFY(p && !dynamic_cast<AUCocoaUIBase*>(p));
    p->release();

    // After unregistering, the name finds nothing and a kept Class makes nothing.
    GlimmClassUnregister(cls);
    QVERIFY(!NSClassFromString("GlimmTestFactory"));
    QVERIFY(!GlimmClassCreateInstance(cls));
    QCOMPARE(GlimmClassRegister("GlimmTestFactory", makeFactory), cls);  // loaded again
    GlimmClassUnregister(cls);
    GlimmClassUnregister(plain);
  }
};

QTEST_GUILESS_MAIN(TestAppKit)
#include "tst_platform_appkit.moc"
