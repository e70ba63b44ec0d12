// AUCocoaUIView stand-in: the interface of Audio Unit view factories.
#pragma once

#include <AppKit/AppKit.h>
#include <AudioUnit/AudioUnit.h>

// A factory class in an editor bundle derives from NSObject and this. A host
// finds it with NSClassFromString, makes an instance and reaches this side
// with dynamic_cast.
class AUCocoaUIBase {
 public:
  virtual ~AUCocoaUIBase();
  virtual unsigned interfaceVersion() = 0;
  // A new view for `unit`, autoreleased.
  virtual NSView* uiViewForAudioUnit(AudioUnit unit, NSSize preferredSize) = 0;
};
