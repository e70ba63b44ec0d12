#include "AUGlimm3_UIView.h"

#include "AUGlimm3_HostLink.h"
#include "GlimmContract.h"
#include "vstglimmeditor.h"

#include "Boundary.h"

#include <QMacNativeWidget.h>
#include <QPalette>

#include <cstdint>
#include <exception>
#include <utility>

namespace {

const char kSourcePath[] = "CocoaUI/AUGlimm3_UIView.cpp";
const Float32 kNotificationInterval = 0.05f;
const Float32 kValueGranularity = 0.05f;

AUGlimm3_UIView* viewOf(void* hostContext) { return static_cast<AUGlimm3_UIView*>(hostContext); }

// The assertion handler raises by default, and these entry points are called
// from Qt's event dispatch or from the host: nothing may cross them. The
// failure has been reported by then.
using glimm::atBoundary;

AudioUnitParameter parameterAddress(AudioUnit unit, AudioUnitParameterID id) {
  AudioUnitParameter p;
  p.mAudioUnit = unit;
  p.mParameterID = id;
  p.mScope = kAudioUnitScope_Global;
  p.mElement = 0;
  return p;
}

}  // namespace

// ---- Host view -------------------------------------------------------------------

AUGlimm3_UIView::AUGlimm3_UIView() = default;

void AUGlimm3_UIView::setEditor() {
  if (m_editor) return;  // one panel per view
  m_parentView = new NSView;
  // The application object must exist before the first widget.
  pluginInstance();
  m_container = new QMacNativeWidget(m_parentView);
  m_container->move(0, 0);
  m_container->setFixedSize(kGlimmPanelWidth, kGlimmPanelHeight);
  m_container->setPalette(QPalette(Qt::green));
  NSView* nativeView = GlimmNativeViewForWinId(uintptr_t(m_container->winId()));
  m_editor = new VstGlimm3Editor(this);
  m_editor->open(m_container.data());
  m_container->show();
  setFrame(nativeView ? nativeView->frame() : NSZeroRect);
  addSubview(nativeView, NSWindowAbove, nullptr);
  m_container->show();
}

void AUGlimm3_UIView::setAU(AudioUnit au) {
  if (mAU) priv_removeListeners();
  mAU = au;
  priv_addListeners();
  // The text does not depend on the parameters: pull it even when a read
  // failed and raised, or the panel would keep a stale text that the next
  // keystroke writes over the unit's own. The failure still reaches the caller.
  std::exception_ptr failure;
  try {
    priv_synchronizeUIWithParameterValues();
  } catch (...) {
    failure = std::current_exception();
  }
  editorSetTextFromAU();
  if (failure) std::rethrow_exception(failure);
}

void AUGlimm3_UIView::priv_addListeners() {
  if (!mAU) return;
  // Without a listener the panel still edits the unit; it only stops hearing back.
  (void)AUEventListenerCreate(EventListenerDispatcher, this, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode,
                              kNotificationInterval, kValueGranularity, &mAUEventListener);
  AudioUnitEvent event{};
  event.mArgument.mParameter = parameterAddress(mAU, kGlimmParam_Pitch);
  for (AudioUnitParameterID id = 0; id <= AudioUnitParameterID(kGlimmParam_SingMode); ++id) {
    event.mArgument.mParameter.mParameterID = id;
    addParamListener(mAUEventListener, this, &event);
  }
  AudioUnitEvent text{};
  text.mEventType = kAudioUnitEvent_PropertyChange;
  text.mArgument.mProperty.mAudioUnit = mAU;
  text.mArgument.mProperty.mPropertyID = kGlimmProperty_Text;
  text.mArgument.mProperty.mScope = kAudioUnitScope_Global;
  text.mArgument.mProperty.mElement = 0;
  (void)AUEventListenerAddEventType(mAUEventListener, this, &text);  // as above
  // Parameters added later register after the text, so the first sixteen
  // registrations stay in the order listeners already know.
  for (AudioUnitParameterID id = kGlimmParam_SingMode + 1; id < AudioUnitParameterID(kGlimmParamCount); ++id) {
    event.mArgument.mParameter.mParameterID = id;
    addParamListener(mAUEventListener, this, &event);
  }
}

void AUGlimm3_UIView::priv_removeListeners() {
  if (mAUEventListener) AUListenerDispose(mAUEventListener);
  mAUEventListener = nullptr;
  mAU = nullptr;
}

void AUGlimm3_UIView::priv_synchronizeUIWithParameterValues() {
  AudioUnitParameterValue values[kGlimmParamCount];
  for (int i = 0; i < kGlimmParamCount; ++i) {
    values[i] = 0;
    if (AudioUnitGetParameter(mAU, AudioUnitParameterID(i), kAudioUnitScope_Global, 0, &values[i]) != noErr) {
      reportFailure("priv_synchronizeUIWithParameterValues", __LINE__,
                    "[AUGlimm_UIView priv_synchronizeUIWithParameterValues] (x.1)");
      return;
    }
  }
  for (int i = 0; i < kGlimmParamCount; ++i) editorUpdateControls(i, values[i]);
}

void AUGlimm3_UIView::priv_eventListener(void*, const AudioUnitEvent* event, float value) {
  if (!event || !m_editor) return;
  switch (event->mEventType) {
    case kAudioUnitEvent_PropertyChange:
      if (event->mArgument.mProperty.mPropertyID == AudioUnitPropertyID(kGlimmProperty_Text)) editorUpdateTextEdit();
      break;
    case kAudioUnitEvent_ParameterValueChange: {
      const AudioUnitParameterID id = event->mArgument.mParameter.mParameterID;
      if (id < AudioUnitParameterID(kGlimmParamCount)) editorUpdateControls(int(id), value);
      break;
    }
    default:
      break;
  }
}

void AUGlimm3_UIView::setParameterFromUI(int index, float value, void* sender) {
  const AudioUnitParameter p = parameterAddress(mAU, AudioUnitParameterID(index));
  if (AUParameterSet(mAUEventListener, sender, &p, value, 0) != noErr)
    reportFailure("setParameterFromUI", __LINE__, "[AUGlimm_UIView setParameterFromUI] AUParameterSet failed");
}

void AUGlimm3_UIView::setTextFromUI(char* text, void*) {
  if (!text) return;  // the unit would read 512 bytes from it
  // A refused text is not echoed back, so the panel never shows it as taken.
  (void)AudioUnitSetProperty(mAU, kGlimmProperty_Text, kAudioUnitScope_Global, 0, text, kGlimmTextBufferSize);
}

void AUGlimm3_UIView::setPlayFromUI() {
  char request[kGlimmPlayDataSize] = {};
  // Nothing to show for a refused request: the unit simply stays silent.
  (void)AudioUnitSetProperty(mAU, kGlimmProperty_Play, kAudioUnitScope_Global, 0, request, sizeof request);
}

int AUGlimm3_UIView::getProperty(int propertyID, void* data, int size) {
  // A negative size would reach the unit as a huge buffer.
  if (size < 0) return kAudio_ParamError;
  UInt32 dataSize = UInt32(size);
  return AudioUnitGetProperty(mAU, AudioUnitPropertyID(propertyID), kAudioUnitScope_Global, 0, data, &dataSize);
}

void AUGlimm3_UIView::mouseDown(NSEvent* event) {
  NSView::mouseDown(event);
  if (NSWindow* w = window()) w->makeFirstResponder(this);
}

void AUGlimm3_UIView::editorUpdateControls(int index, float value) {
  if (m_editor) m_editor->updateControls(index, value);
}

void AUGlimm3_UIView::editorUpdateTextEdit() {
  if (m_editor) m_editor->updateTextEdit();
}

void AUGlimm3_UIView::editorSetTextFromAU() {
  if (m_editor) m_editor->setTextFromAU();
}

void AUGlimm3_UIView::reportFailure(const char* selector, int line, const char* description) {
  NSAssertionHandler::currentHandler()->handleFailureInMethod(selector, this, kSourcePath, line, description);
}

void AUGlimm3_UIView::tearDownEditor() noexcept {
  atBoundary([this] {
    if (VstGlimm3Editor* editor = std::exchange(m_editor, nullptr)) {
      editor->close();
      delete editor;
    }
    // Its native view leaves this view's subviews as it goes.
    if (QMacNativeWidget* container = m_container.data()) {
      m_container = nullptr;
      delete container;
    }
  });
  if (NSView* parent = std::exchange(m_parentView, nullptr)) parent->release();
}

void AUGlimm3_UIView::dealloc() {
  atBoundary([this] { priv_removeListeners(); });
  tearDownEditor();
  NSView::dealloc();
}

// ---- Listener registration and callback -------------------------------------------

void addParamListener(AUListenerBase* listener, void* object, AudioUnitEvent* event) {
  // Best effort, as for the listener itself.
  event->mEventType = kAudioUnitEvent_BeginParameterChangeGesture;
  (void)AUEventListenerAddEventType(listener, object, event);
  event->mEventType = kAudioUnitEvent_EndParameterChangeGesture;
  (void)AUEventListenerAddEventType(listener, object, event);
  event->mEventType = kAudioUnitEvent_ParameterValueChange;
  (void)AUEventListenerAddEventType(listener, object, event);
}

void EventListenerDispatcher(void* userData, void* object, const AudioUnitEvent* event, UInt64, float value) {
  if (!userData) return;
  atBoundary([&] { viewOf(userData)->priv_eventListener(object, event, value); });
}

// ---- Host link -------------------------------------------------------------------

void parameterDispatcher(void* hostContext, int index, float value, void* sender) {
  if (!hostContext) return;
  atBoundary([&] { viewOf(hostContext)->setParameterFromUI(index, value, sender); });
}

void setTextProperty(void* hostContext, char* textBuffer, void* sender) {
  if (!hostContext) return;
  atBoundary([&] { viewOf(hostContext)->setTextFromUI(textBuffer, sender); });
}

void setPlayProperty(void* hostContext) {
  if (!hostContext) return;
  atBoundary([&] { viewOf(hostContext)->setPlayFromUI(); });
}

int getProperty(void* hostContext, int propertyID, void* data, int size) {
  if (!hostContext) return -1;
  int status = -1;
  atBoundary([&] { status = viewOf(hostContext)->getProperty(propertyID, data, size); });
  return status;
}

void activateCocoaWindow(void* nativeView) {
  if (!nativeView) return;
  atBoundary([&] {
    NSView* view = GlimmNativeViewForWinId(reinterpret_cast<uintptr_t>(nativeView));
    if (!view) return;
    if (NSWindow* w = view->window()) w->makeFirstResponder(view);
  });
}

// ---- Factory -----------------------------------------------------------------------

unsigned AUGlimm3_ViewFactory::interfaceVersion() { return 0; }

NSView* AUGlimm3_ViewFactory::uiViewForAudioUnit(AudioUnit unit, NSSize) {
  AUGlimm3_UIView* view = atBoundary([] { return new AUGlimm3_UIView; }, static_cast<AUGlimm3_UIView*>(nullptr));
  if (!view) return nullptr;
  // A failure is reported before it raises; the host still gets the view,
  // with whatever part of the panel and the unit's state it reached.
  atBoundary([view] { view->setEditor(); });
  atBoundary([view, unit] { view->setAU(unit); });
  return static_cast<NSView*>(view->autorelease());
}

NSString* AUGlimm3_ViewFactory::description() {
  return NSString::stringWithUTF8String("Brontu: AUGlimm chaud cocoa view");
}
