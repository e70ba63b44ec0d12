// The host view that embeds the editor panel, the factory a host asks for it,
// and the Audio Unit side of the host link: parameters and properties go to
// the speech unit from here, and its changes come back through one event
// listener.
#pragma once

#include <AppKit/AppKit.h>
#include <AudioToolbox/AudioUnitUtilities.h>
#include <AudioUnit/AUCocoaUIView.h>

#include <QPointer>

class QMacNativeWidget;
class VstGlimm3Editor;

class AUGlimm3_UIView : public NSView {
 public:
  AUGlimm3_UIView();

  // Builds the Qt side: application object, native container, editor, panel.
  void setEditor();
  // Attaches `au`, replacing any unit attached before, and fills the panel
  // from it. A failed parameter read is reported to the assertion handler,
  // which by default raises.
  void setAU(AudioUnit au);

  void priv_eventListener(void* object, const AudioUnitEvent* event, float value);

  // Reached from the editor through the host link.
  void setParameterFromUI(int index, float value, void* sender);
  void setTextFromUI(char* text, void* sender);
  void setPlayFromUI();
  int getProperty(int propertyID, void* data, int size);

  void mouseDown(NSEvent* event) override;
  BOOL acceptsFirstResponder() override { return YES; }
  BOOL becomeFirstResponder() override { return YES; }
  BOOL isOpaque() override { return YES; }

 protected:
  // Listeners first, so nothing is delivered to a view being torn down; then
  // the Qt side, so the editor can no longer call back into this view.
  void dealloc() override;

  void priv_addListeners();
  void priv_removeListeners();
  void priv_synchronizeUIWithParameterValues();

  // Every call into the editor passes here; a subclass may watch them.
  virtual void editorUpdateControls(int index, float value);
  virtual void editorUpdateTextEdit();
  virtual void editorSetTextFromAU();

  AudioUnit mAU = nullptr;
  AUEventListenerRef mAUEventListener = nullptr;
  VstGlimm3Editor* m_editor = nullptr;
  NSView* m_parentView = nullptr;
  // A host that adopted the container into its own window may delete it first.
  QPointer<QMacNativeWidget> m_container;

 private:
  void reportFailure(const char* selector, int line, const char* description);
  void tearDownEditor() noexcept;
};

// Registers begin gesture, end gesture and value change for the parameter
// whose address `event` holds.
void addParamListener(AUListenerBase* listener, void* object, AudioUnitEvent* event);

// The event listener's callback; `userData` is the view.
void EventListenerDispatcher(void* userData, void* object, const AudioUnitEvent* event, UInt64 hostTime, float value);

class AUGlimm3_ViewFactory : public NSObject, public AUCocoaUIBase {
 public:
  unsigned interfaceVersion() override;
  // A new view for `unit`, autoreleased; the panel always takes its own size.
  NSView* uiViewForAudioUnit(AudioUnit unit, NSSize preferredSize) override;
  NSString* description() override;
};
