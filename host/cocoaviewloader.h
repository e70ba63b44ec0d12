// Finds and opens a unit's editor the way a Mac host does: the unit's
// Cocoa-UI property names a bundle and a factory class; the bundle is loaded,
// the class looked up by name, and the factory asked for a view.
#pragma once

#include <AudioUnit/AUCocoaUIView.h>

#include <string>

struct CocoaViewInfo {
  std::string bundlePath;
  std::string factoryClass;
};

// Reads kAudioUnitProperty_CocoaUI; false with `error` set when the unit has
// no editor or the answer is unusable.
bool GlimmGetCocoaViewInfo(AudioUnit unit, CocoaViewInfo* info, std::string* error);

// Loads the bundle (once per process; it stays loaded, since views and
// registrations may outlive any one request) and asks its factory for a view
// of `unit`. Returns the view retained — the caller releases it — or null
// with `error` naming what failed and where. Never throws.
NSView* GlimmCreateCocoaView(AudioUnit unit, NSSize preferredSize, std::string* error);
