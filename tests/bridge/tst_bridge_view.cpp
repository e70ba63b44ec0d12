// The host view, the host link and the factory against a fake speech unit,
// on Qt's offscreen platform, with the run loop driven by hand.
#include "AUGlimm3_HostLink.h"
#include "AUGlimm3_UIView.h"
#include "FakeSpeechUnit.h"
#include "listenerrecorder.h"

#include <QMacNativeWidget.h>

#include <QApplication>
#include <QSlider>
#include <QTest>
#include <QTextEdit>

#include <cstring>
#include <string>

namespace {

struct EditorCall {
  enum Kind { UpdateControls, UpdateTextEdit, SetTextFromAU } kind;
  int index;
  float value;
};

class TestView : public AUGlimm3_UIView {
 public:
  using AUGlimm3_UIView::m_container;
  using AUGlimm3_UIView::m_editor;
  using AUGlimm3_UIView::mAU;
  using AUGlimm3_UIView::mAUEventListener;

  std::vector<EditorCall> calls;

  int count(EditorCall::Kind kind) const {
    int n = 0;
    for (const auto& c : calls) n += c.kind == kind;
    return n;
  }
  QList<QSlider*> sliders() const { return m_container->findChildren<QSlider*>(); }
  QTextEdit* textField() const { return m_container->findChild<QTextEdit*>(); }

 protected:
  void editorUpdateControls(int index, float value) override {
    calls.push_back({EditorCall::UpdateControls, index, value});
    AUGlimm3_UIView::editorUpdateControls(index, value);
  }
  void editorUpdateTextEdit() override {
    calls.push_back({EditorCall::UpdateTextEdit, -1, 0});
    AUGlimm3_UIView::editorUpdateTextEdit();
  }
  void editorSetTextFromAU() override {
    calls.push_back({EditorCall::SetTextFromAU, -1, 0});
    AUGlimm3_UIView::editorSetTextFromAU();
  }
};

struct Failure {
  std::string selector;
  NSObject* object;
  std::string file;
  NSInteger line;
  std::string description;
};

// Records failures and lets the method end on its own, as a host's handler may.
class RecordingHandler : public NSAssertionHandler {
 public:
  std::vector<Failure> failures;
  void handleFailureInMethod(const char* selector, NSObject* object, const char* file, NSInteger line,
                             const char* description) override {
    failures.push_back({selector, object, file, line, description});
  }
};

// Installs a recording handler for one scope; the default one comes back after.
struct HandlerScope {
  RecordingHandler* handler = new RecordingHandler;
  HandlerScope() { NSAssertionHandler::setCurrentHandler(handler); }
  ~HandlerScope() {
    NSAssertionHandler::setCurrentHandler(nullptr);
    handler->release();
  }
};

struct UnitScope : fakeunit::Instance {
  UnitScope() : fakeunit::Instance(fakeunit::newInstance()) {}
  ~UnitScope() { AudioComponentInstanceDispose(au); }
};

// A view with its panel, not yet attached; released at the end of the scope.
struct ViewScope {
  TestView* view = new TestView;
  ViewScope() { view->setEditor(); }
  ~ViewScope() { view->release(); }
  TestView* operator->() const { return view; }
};

void runLoop(double seconds = 0.1) { CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, false); }

NSView* factoryView(AudioUnit au, NSSize size) {
  auto* factory = new AUGlimm3_ViewFactory;
  auto* pool = new NSAutoreleasePool;
  NSView* view = factory->uiViewForAudioUnit(au, size);
  if (view) view->retain();
  pool->drain();
  factory->release();
  return view;
}

// The Qt widget behind a host view's native subview, found as a host would.
QWidget* containerOf(NSView* view) {
  if (view->subviews().empty()) return nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->internalWinId() && GlimmNativeViewForWinId(uintptr_t(w->internalWinId())) == view->subviews()[0]) return w;
  return nullptr;
}

}  // namespace

class BridgeViewTest : public QObject {
  Q_OBJECT

 private slots:
  // Runs first: no application object exists before the first view.
  void factoryViewsShareOneApplicationAndTakeThePanelSize() {
    QVERIFY(!QCoreApplication::instance());
    UnitScope u;
    NSView* first = factoryView(u.au, NSMakeSize(10, 10));
    QVERIFY(first);
    QCoreApplication* app = QCoreApplication::instance();
    QVERIFY(qobject_cast<QApplication*>(app));
    NSView* second = factoryView(u.au, NSMakeSize(2000, 1500));
    QVERIFY(second);
    QCOMPARE(QCoreApplication::instance(), app);
    for (NSView* v : {first, second}) {
      QVERIFY(NSEqualRects(v->frame(), NSMakeRect(0, 0, 440, 320)));
      QCOMPARE(v->subviews().size(), size_t(1));
      QVERIFY(NSEqualRects(v->subviews()[0]->frame(), v->frame()));
    }
    first->release();
    second->release();

    auto* factory = new AUGlimm3_ViewFactory;
    QCOMPARE(factory->interfaceVersion(), 0u);
    auto* pool = new NSAutoreleasePool;
    QCOMPARE(std::string(factory->description()->UTF8String()), std::string("Brontu: AUGlimm chaud cocoa view"));
    pool->drain();
    factory->release();
  }

  void attachReadsAllThenUpdatesAndRegisters() {
    UnitScope u;
    const float values[] = {10, 30, 40, 50, 1, 1, 0};
    std::memcpy(u.unit->params, values, sizeof values);
    ViewScope v;
    std::vector<size_t> callsAtRead;
    u.unit->onRead = [&](AudioUnitParameterID) { callsAtRead.push_back(v->calls.size()); };
    recorder::log().clear();
    v->setAU(u.au);
    u.unit->onRead = nullptr;

    QCOMPARE(u.unit->reads, (std::vector<AudioUnitParameterID>{0, 1, 2, 3, 4, 5, 6}));
    QCOMPARE(callsAtRead, (std::vector<size_t>(7, 0)));
    QCOMPARE(v->calls.size(), size_t(8));
    for (int i = 0; i < 7; ++i) {
      QCOMPARE(v->calls[i].kind, EditorCall::UpdateControls);
      QCOMPARE(v->calls[i].index, i);
      QCOMPARE(v->calls[i].value, values[i]);
    }
    QCOMPARE(v->calls[7].kind, EditorCall::SetTextFromAU);
    const QList<QSlider*> sliders = v->sliders();
    QCOMPARE(sliders[0]->value(), 10);
    QCOMPARE(sliders[3]->value(), 50);
    QCOMPARE(sliders[6]->value(), 1);  // sing mode

    const auto& log = recorder::log();
    QCOMPARE(log.created.size(), size_t(1));
    const recorder::Created& c = log.created[0];
    QVERIFY(c.proc == &EventListenerDispatcher);
    QCOMPARE(c.userData, static_cast<void*>(v.view));
    QCOMPARE(c.runLoop, CFRunLoopGetCurrent());
    QVERIFY(CFEqual(c.mode, kCFRunLoopDefaultMode));
    QCOMPARE(c.interval, 0.05f);
    QCOMPARE(c.granularity, 0.05f);
    QCOMPARE(c.listener, v->mAUEventListener);

    // The sixteen registrations for the first five parameters and the text
    // come first, as before; the phonetic and filter switches follow.
    QCOMPARE(log.added.size(), size_t(22));
    for (size_t i = 0; i < 22; ++i) {
      const recorder::Added& a = log.added[i];
      QCOMPARE(a.listener, v->mAUEventListener);
      QCOMPARE(a.object, static_cast<void*>(v.view));
      if (i != 15) {
        const AudioUnitEventType order[] = {kAudioUnitEvent_BeginParameterChangeGesture,
                                            kAudioUnitEvent_EndParameterChangeGesture,
                                            kAudioUnitEvent_ParameterValueChange};
        const size_t k = i < 15 ? i : i - 1;
        QCOMPARE(a.event.mEventType, order[k % 3]);
        QCOMPARE(a.event.mArgument.mParameter.mAudioUnit, u.au);
        QCOMPARE(a.event.mArgument.mParameter.mParameterID, AudioUnitParameterID(k / 3));
        QCOMPARE(a.event.mArgument.mParameter.mScope, AudioUnitScope(kAudioUnitScope_Global));
        QCOMPARE(a.event.mArgument.mParameter.mElement, AudioUnitElement(0));
      } else {
        QCOMPARE(a.event.mEventType, AudioUnitEventType(kAudioUnitEvent_PropertyChange));
        QCOMPARE(a.event.mArgument.mProperty.mAudioUnit, u.au);
        QCOMPARE(a.event.mArgument.mProperty.mPropertyID, AudioUnitPropertyID(0x20000));
        QCOMPARE(a.event.mArgument.mProperty.mScope, AudioUnitScope(kAudioUnitScope_Global));
        QCOMPARE(a.event.mArgument.mProperty.mElement, AudioUnitElement(0));
      }
    }
  }

  void failedReadIsReportedAndStopsTheRest() {
    UnitScope u;
    u.unit->params[0] = 99;
    u.unit->failReadOf = 2;
    {
      HandlerScope h;
      ViewScope v;
      v->setAU(u.au);
      QCOMPARE(u.unit->reads, (std::vector<AudioUnitParameterID>{0, 1, 2}));
      QCOMPARE(v->count(EditorCall::UpdateControls), 0);
      QCOMPARE(h.handler->failures.size(), size_t(1));
      const Failure& f = h.handler->failures[0];
      QCOMPARE(f.selector, std::string("priv_synchronizeUIWithParameterValues"));
      QCOMPARE(f.object, static_cast<NSObject*>(v.view));
      QVERIFY(f.file.rfind("CocoaUI/AUGlimm3_UIView", 0) == 0);
      QVERIFY(f.line > 0);
      QCOMPARE(f.description, std::string("[AUGlimm_UIView priv_synchronizeUIWithParameterValues] (x.1)"));
    }

    // The default handler raises; the factory stops it and still hands out a
    // view whose controls keep what they showed, whose listener works, and
    // which shows the unit's text (a stale one would be typed over the unit's).
    std::strcpy(u.unit->text, "kept by the unit");
    NSView* view = factoryView(u.au, NSMakeSize(0, 0));
    QVERIFY(view);
    QWidget* container = containerOf(view);
    QVERIFY(container);
    const QList<QSlider*> sliders = container->findChildren<QSlider*>();
    QCOMPARE(sliders.size(), 7);
    QCOMPARE(sliders[0]->value(), 0);
    QTextEdit* field = container->findChild<QTextEdit*>();
    QVERIFY(field);
    QCOMPARE(field->toPlainText(), QString("kept by the unit"));
    AudioUnitParameter speed{u.au, 1, kAudioUnitScope_Global, 0};
    u.unit->failReadOf = -1;
    AUParameterSet(nullptr, nullptr, &speed, 123, 0);
    runLoop();
    QCOMPARE(sliders[1]->value(), 123);
    view->release();
  }

  void secondAttachDisposesTheFirstListener() {
    UnitScope first, second;
    ViewScope v;
    v->setAU(first.au);
    AUEventListenerRef firstListener = v->mAUEventListener;
    recorder::log().clear();
    v->setAU(second.au);
    QCOMPARE(recorder::log().disposed, (std::vector<AUParameterListenerRef>{firstListener}));
    QCOMPARE(v->mAU, second.au);
    QVERIFY(v->mAUEventListener && v->mAUEventListener != firstListener);

    v->calls.clear();
    AudioUnitParameter p0{first.au, 0, kAudioUnitScope_Global, 0};
    AUParameterSet(nullptr, nullptr, &p0, 200, 0);
    fakeunit::setTextFromUnit(first.au, "from the first unit");
    runLoop();
    QVERIFY(v->calls.empty());
    QVERIFY(first.unit->listeners.empty());

    AudioUnitParameter p3{second.au, 3, kAudioUnitScope_Global, 0};
    AUParameterSet(nullptr, nullptr, &p3, 77, 0);
    runLoop();
    QCOMPARE(v->count(EditorCall::UpdateControls), 1);
    QCOMPARE(v->calls[0].index, 3);
    QCOMPARE(v->calls[0].value, 77.0f);
  }

  void listenerIgnoresWhatItDoesNotShow() {
    UnitScope u;
    ViewScope v;
    v->setAU(u.au);
    v->calls.clear();
    auto send = [&](AudioUnitEventType type, UInt32 id, float value) {
      AudioUnitEvent e{};
      e.mEventType = type;
      if (type == kAudioUnitEvent_PropertyChange)
        e.mArgument.mProperty = {u.au, id, kAudioUnitScope_Global, 0};
      else
        e.mArgument.mParameter = {u.au, id, kAudioUnitScope_Global, 0};
      EventListenerDispatcher(v.view, v.view, &e, 0, value);
    };
    send(kAudioUnitEvent_ParameterValueChange, 7, 1);
    send(kAudioUnitEvent_ParameterValueChange, 0xFFFFFFFF, 1);
    send(kAudioUnitEvent_PropertyChange, 0x20001, 0);
    send(kAudioUnitEvent_PropertyChange, 0x1FFFF, 0);
    send(kAudioUnitEvent_BeginParameterChangeGesture, 0, 5);
    send(kAudioUnitEvent_EndParameterChangeGesture, 4, 1);
    send(7, 0, 1);
    EventListenerDispatcher(v.view, v.view, nullptr, 0, 0);
    EventListenerDispatcher(nullptr, v.view, nullptr, 0, 0);
    QVERIFY(v->calls.empty());

    send(kAudioUnitEvent_ParameterValueChange, 4, 1);
    send(kAudioUnitEvent_PropertyChange, 0x20000, 0);
    QCOMPARE(v->calls.size(), size_t(2));
    QCOMPARE(v->calls[0].kind, EditorCall::UpdateControls);
    QCOMPARE(v->calls[0].index, 4);
    QCOMPARE(v->calls[1].kind, EditorCall::UpdateTextEdit);
  }

  void sliderMoveComesBackOnceAndIsAbsorbed() {
    UnitScope u;
    ViewScope v;
    v->setAU(u.au);
    runLoop();
    v->calls.clear();
    recorder::log().clear();
    QSlider* pitch = v->sliders()[0];
    pitch->setValue(77);
    QCOMPARE(recorder::log().sets.size(), size_t(1));
    const recorder::ParameterSet& s = recorder::log().sets[0];
    QCOMPARE(s.listener, v->mAUEventListener);
    QCOMPARE(s.object, static_cast<void*>(pitch));
    QCOMPARE(s.parameter.mAudioUnit, u.au);
    QCOMPARE(s.parameter.mParameterID, AudioUnitParameterID(0));
    QCOMPARE(s.value, 77.0f);
    QCOMPARE(s.offset, UInt32(0));
    QCOMPARE(u.unit->params[0], 77.0f);
    runLoop();
    runLoop();
    QCOMPARE(v->count(EditorCall::UpdateControls), 1);
    QCOMPARE(v->calls[0].value, 77.0f);
    QCOMPARE(recorder::log().sets.size(), size_t(1));
    QCOMPARE(pitch->value(), 77);
  }

  void refusedParameterSetStaysInsideTheBridge() {
    UnitScope u;
    ViewScope v;
    v->setAU(u.au);
    u.unit->failWrites = true;
    QSlider* throat = v->sliders()[3];
    bool escaped = false;
    try {
      throat->setValue(12);  // the default handler raises inside this slot
    } catch (...) {
      escaped = true;
    }
    QVERIFY(!escaped);
    QCOMPARE(throat->value(), 12);
    QCOMPARE(u.unit->params[3], 0.0f);

    HandlerScope h;
    throat->setValue(13);
    QCOMPARE(h.handler->failures.size(), size_t(1));
    QCOMPARE(h.handler->failures[0].selector, std::string("setParameterFromUI"));
    QVERIFY(h.handler->failures[0].description.find("AUParameterSet") != std::string::npos);
  }

  void textTravelsAs512BytesAndUnitTextIsEchoedOnce() {
    UnitScope u;
    std::strcpy(u.unit->text, "start");
    ViewScope v;
    v->setAU(u.au);
    QTextEdit* field = v->textField();
    QCOMPARE(field->toPlainText(), QString("start"));
    runLoop();

    u.unit->textSets.clear();
    u.unit->textSetSizes.clear();
    fakeunit::setTextFromUnit(u.au, "Hello there");
    for (int i = 0; i < 4; ++i) runLoop();
    QCOMPARE(field->toPlainText(), QString("Hello there"));
    // The unit's own set, then the panel's single echo.
    QCOMPARE(u.unit->textSets, (std::vector<std::string>{"Hello there", "Hello there"}));

    field->clear();
    field->setPlainText("typed");
    QVERIFY(!u.unit->textSetSizes.empty());
    QCOMPARE(std::string(u.unit->text), std::string("typed"));
    for (UInt32 size : u.unit->textSetSizes) QCOMPARE(size, UInt32(512));
    QVERIFY(std::find(u.unit->textSets.begin(), u.unit->textSets.end(), "") != u.unit->textSets.end());

    setPlayProperty(v.view);
    QCOMPARE(u.unit->playSizes, (std::vector<UInt32>{8}));
  }

  void hostLinkPassesStatusAndIgnoresNullContext() {
    UnitScope u;
    std::strcpy(u.unit->text, "unit text");
    ViewScope v;
    v->setAU(u.au);
    char buffer[512];
    std::memset(buffer, 0x5A, sizeof buffer);
    QCOMPARE(getProperty(v.view, 0x20000, buffer, 512), 0);
    QCOMPARE(std::string(buffer), std::string("unit text"));
    u.unit->textReadStatus = -10863;
    QCOMPARE(getProperty(v.view, 0x20000, buffer, 512), -10863);
    QCOMPARE(getProperty(v.view, 0x12345, buffer, 512), int(kAudioUnitErr_InvalidProperty));
    u.unit->textReadStatus = noErr;
    QVERIFY(getProperty(v.view, 0x20000, buffer, -1) != 0);

    std::memset(buffer, 0x5A, sizeof buffer);
    QCOMPARE(getProperty(nullptr, 0x20000, buffer, 512), -1);
    QCOMPARE(buffer[0], char(0x5A));
    const size_t textSets = u.unit->textSets.size();
    const size_t writes = u.unit->writes.size();
    parameterDispatcher(nullptr, 0, 5, nullptr);
    setTextProperty(nullptr, buffer, nullptr);
    setPlayProperty(nullptr);
    activateCocoaWindow(nullptr);
    QCOMPARE(u.unit->textSets.size(), textSets);
    QCOMPARE(u.unit->writes.size(), writes);
    QVERIFY(u.unit->playSizes.empty());
  }

  void clicksMakeFirstResponders() {
    UnitScope u;
    ViewScope v;
    v->setAU(u.au);
    auto* window = new NSWindow;
    window->contentView()->addSubview(v.view);
    v->m_container->show();

    auto* pool = new NSAutoreleasePool;
    v->mouseDown(NSEvent::mouseEventWithType(NSEventTypeLeftMouseDown, NSMakePoint(5, 5)));
    pool->drain();
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(v.view));

    QTextEdit* field = v->textField();
    QTest::mouseClick(field->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    NSView* fieldView = GlimmNativeViewForWinId(uintptr_t(field->winId()));
    QVERIFY(fieldView);
    QCOMPARE(window->firstResponder(), static_cast<NSResponder*>(fieldView));

    v.view->removeFromSuperview();
    window->release();
  }

  // Each release takes everything with it: the listener, the unit's property
  // listener, the editor, the container and its native view. Under the
  // sanitizer build the leak checker sees the rest.
  void openingAndReleasing1000ViewsLeavesNothing() {
    UnitScope u;
    NSView* warmUp = factoryView(u.au, NSMakeSize(440, 320));
    warmUp->release();
    const int widgets = QApplication::allWidgets().size();
    const int topLevels = QApplication::topLevelWidgets().size();
    for (int i = 0; i < 1000; ++i) {
      NSView* view = factoryView(u.au, NSMakeSize(440, 320));
      QVERIFY(view);
      if (i % 100 == 0) fakeunit::setTextFromUnit(u.au, "queued for a view that goes");
      view->release();
      runLoop(0);
    }
    QCOMPARE(QApplication::allWidgets().size(), widgets);
    QCOMPARE(QApplication::topLevelWidgets().size(), topLevels);
    QVERIFY(u.unit->listeners.empty());
  }
};

int main(int argc, char** argv) {
  // No application object here: the first view must make it.
  BridgeViewTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_bridge_view.moc"
