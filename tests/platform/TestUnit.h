// A small Audio Unit for exercising the platform: four parameters, an int
// property that announces its changes, and no render method.
#pragma once

#include <AudioToolbox/AudioToolbox.h>

#include <atomic>
#include <functional>
#include <vector>

namespace testunit {

enum : OSType { kType = 0x74737475 /* 'tstu' */, kSubType = 0x70617261, kManufacturer = 0x476c6d6d };
enum : AudioUnitPropertyID { kValueProperty = 0x30000, kOtherProperty = 0x30001 };
enum { kParamCount = 4 };

struct Unit {
  AudioComponentPlugInInterface iface;
  AudioComponentInstance self = nullptr;
  float params[kParamCount] = {};
  int property = 0;
  struct Listener {
    AudioUnitPropertyID id;
    AudioUnitPropertyListenerProc proc;
    void* userData;
  };
  std::vector<Listener> listeners;
  // Runs inside SetProperty, after the listeners: lets a test act from within a call.
  std::function<void()> onSetProperty;
};

inline std::atomic<int> gOpens{0};
inline std::atomic<int> gCloses{0};
inline std::atomic<bool> gFailOpen{false};
// The unit most recently opened, so a test can look inside it.
inline Unit* gLastOpened = nullptr;

inline Unit* unitOf(void* self) { return static_cast<Unit*>(self); }

inline OSStatus open(void* self, AudioComponentInstance instance) {
  ++gOpens;
  unitOf(self)->self = instance;
  gLastOpened = unitOf(self);
  return gFailOpen ? OSStatus(kAudioUnitErr_FailedInitialization) : OSStatus(noErr);
}

inline OSStatus close(void* self) {
  ++gCloses;
  delete unitOf(self);
  return noErr;
}

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
  const auto listeners = u->listeners;  // a listener may remove itself
  for (const auto& l : listeners)
    if (l.id == id) l.proc(l.userData, u->self, id, scope, element);
  if (u->onSetProperty) u->onSetProperty();
  return noErr;
}

inline OSStatus addListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData) {
  unitOf(self)->listeners.push_back({id, proc, userData});
  return noErr;
}

inline OSStatus removeListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                               void* userData) {
  auto& v = unitOf(self)->listeners;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->id == id && it->proc == proc && it->userData == userData) {
      v.erase(it);
      return noErr;
    }
  }
  return kAudioUnitErr_InvalidProperty;
}

inline AudioComponentMethod lookup(SInt16 selector) {
  switch (selector) {
    case kAudioUnitGetParameterSelect: return reinterpret_cast<AudioComponentMethod>(getParameter);
    case kAudioUnitSetParameterSelect: return reinterpret_cast<AudioComponentMethod>(setParameter);
    case kAudioUnitGetPropertySelect: return reinterpret_cast<AudioComponentMethod>(getProperty);
    case kAudioUnitSetPropertySelect: return reinterpret_cast<AudioComponentMethod>(setProperty);
    case kAudioUnitAddPropertyListenerSelect: return reinterpret_cast<AudioComponentMethod>(addListener);
    case kAudioUnitRemovePropertyListenerWithUserDataSelect:
      return reinterpret_cast<AudioComponentMethod>(removeListener);
    default: return nullptr;
  }
}

inline AudioComponentPlugInInterface* factory(const AudioComponentDescription*) {
  auto* u = new Unit();
  u->iface = {open, close, lookup, nullptr};
  return &u->iface;
}

inline AudioComponentDescription description() {
  return {kType, kSubType, kManufacturer, 0, 0};
}

// Registers the component once per process.
inline AudioComponent component() {
  static AudioComponent c = [] {
    const AudioComponentDescription d = description();
    return AudioComponentRegister(&d, CFSTR("Glimm: test unit"), 0x10000, factory);
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
