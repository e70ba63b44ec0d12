// A small Audio Unit for exercising the platform: four parameters, an int
// property that announces its changes, and no render method.
#pragma once

#include "FakeUnitBase.h"

#include <atomic>
#include <functional>

namespace testunit {

enum : OSType { kType = 0x74737475 /* 'tstu' */, kSubType = 0x70617261, kManufacturer = 0x476c6d6d };
enum : AudioUnitPropertyID { kValueProperty = 0x30000, kOtherProperty = 0x30001 };
enum { kParamCount = 4 };

struct Unit : fakeunits::UnitBase {
  float params[kParamCount] = {};
  int property = 0;
  // Runs inside SetProperty, after the listeners: lets a test act from within a call.
  std::function<void()> onSetProperty;
};
using Plumbing = fakeunits::Component<Unit>;

inline std::atomic<int> gOpens{0};
inline std::atomic<int> gCloses{0};
inline std::atomic<bool> gFailOpen{false};
// The unit most recently opened, so a test can look inside it.
inline Unit*& gLastOpened = Plumbing::lastOpened;

inline Unit* unitOf(void* self) { return Plumbing::unitOf(self); }

inline OSStatus opened() {
  ++gOpens;
  return gFailOpen ? OSStatus(kAudioUnitErr_FailedInitialization) : OSStatus(noErr);
}

inline void closing() { ++gCloses; }

inline OSStatus getParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement,
                             AudioUnitParameterValue* out) {
  if (id >= kParamCount || scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidParameter;
  *out = unitOf(self)->params[id];
  return noErr;
}

inline OSStatus setParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement,
                             AudioUnitParameterValue value, UInt32) {
  if (id >= kParamCount || scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidParameter;
  unitOf(self)->params[id] = value;
  return noErr;
}

inline OSStatus getProperty(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* out,
                            UInt32* size) {
  if (id != kValueProperty && id != kOtherProperty) return kAudioUnitErr_InvalidProperty;
  if (!out || !size || *size < sizeof(int)) return kAudioUnitErr_InvalidPropertyValue;
  *static_cast<int*>(out) = unitOf(self)->property;
  *size = sizeof(int);
  return noErr;
}

inline OSStatus setProperty(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                            const void* data, UInt32 size) {
  if (id != kValueProperty && id != kOtherProperty) return kAudioUnitErr_InvalidProperty;
  if (!data || size != sizeof(int)) return kAudioUnitErr_InvalidPropertyValue;
  Unit* u = unitOf(self);
  u->property = *static_cast<const int*>(data);
  u->callListeners(id, scope, element);
  if (u->onSetProperty) u->onSetProperty();
  return noErr;
}

inline AudioComponentDescription description() { return {kType, kSubType, kManufacturer, 0, 0}; }

// Registers the component once per process.
inline AudioComponent component() {
  static AudioComponent c = [] {
    const AudioComponentDescription d = description();
    return Plumbing::add(d, CFSTR("Glimm: test unit"),
                         {getParameter, setParameter, nullptr, getProperty, setProperty, opened, closing});
  }();
  return c;
}

inline AudioUnit newInstance() {
  AudioUnit u = nullptr;
  AudioComponentInstanceNew(component(), &u);
  return u;
}

inline OSStatus setValueProperty(AudioUnit unit, int v, AudioUnitPropertyID id = kValueProperty) {
  return AudioUnitSetProperty(unit, id, kAudioUnitScope_Global, 0, &v, sizeof v);
}

inline AudioUnitParameter parameter(AudioUnit unit, AudioUnitParameterID id) {
  return {unit, id, kAudioUnitScope_Global, 0};
}

}  // namespace testunit
