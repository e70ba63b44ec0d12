// What the fake units of the tests share: the property-listener list, the
// component's Open/Close/Lookup and its registration. Each fake keeps its own
// state in a struct derived from UnitBase and answers its own calls.
#pragma once

#include <AudioToolbox/AudioToolbox.h>

#include <vector>

namespace fakeunits {

struct PropertyListener {
  AudioUnitPropertyID id;
  AudioUnitPropertyListenerProc proc;
  void* userData;
};

struct UnitBase {
  AudioComponentPlugInInterface iface;  // first: the platform hands `&iface` back as `self`
  AudioComponentInstance self = nullptr;
  std::vector<PropertyListener> listeners;

  void callListeners(AudioUnitPropertyID id, AudioUnitScope scope = kAudioUnitScope_Global,
                     AudioUnitElement element = 0) const {
    const auto copy = listeners;  // a listener may remove itself
    for (const auto& l : copy)
      if (l.id == id) l.proc(l.userData, self, id, scope, element);
  }
};

// A fake's own calls; the lookup does not offer a null one.
struct Calls {
  AudioUnitGetParameterProc getParameter = nullptr;
  AudioUnitSetParameterProc setParameter = nullptr;
  AudioUnitGetPropertyInfoProc getPropertyInfo = nullptr;
  AudioUnitGetPropertyProc getProperty = nullptr;
  AudioUnitSetPropertyProc setProperty = nullptr;
  // Run by Open once the instance is recorded; its status is Open's.
  OSStatus (*opened)() = nullptr;
  // Run by Close before the unit is freed.
  void (*closing)() = nullptr;
};

// The component side of the fakes whose state is `Unit`. The Lookup the
// platform calls takes no unit, so the calls belong to the type: every
// component registered for one Unit type answers the same calls.
template <class Unit>
class Component {
 public:
  static inline Unit* lastOpened = nullptr;

  static Unit* unitOf(void* self) { return static_cast<Unit*>(static_cast<UnitBase*>(self)); }

  static AudioComponent add(const AudioComponentDescription& description, CFStringRef name, const Calls& calls) {
    s_calls = calls;
    return AudioComponentRegister(&description, name, 0x10000, factory);
  }

 private:
  static inline Calls s_calls;

  static OSStatus open(void* self, AudioComponentInstance instance) {
    unitOf(self)->self = instance;
    lastOpened = unitOf(self);
    return s_calls.opened ? s_calls.opened() : OSStatus(noErr);
  }

  static OSStatus close(void* self) {
    if (s_calls.closing) s_calls.closing();
    delete unitOf(self);
    return noErr;
  }

  static OSStatus addListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData) {
    unitOf(self)->listeners.push_back({id, proc, userData});
    return noErr;
  }

  static OSStatus removeListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
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

  template <class Proc>
  static AudioComponentMethod method(Proc proc) {
    return reinterpret_cast<AudioComponentMethod>(proc);
  }

  static AudioComponentMethod lookup(SInt16 selector) {
    switch (selector) {
      case kAudioUnitGetParameterSelect:
        return method(s_calls.getParameter);
      case kAudioUnitSetParameterSelect:
        return method(s_calls.setParameter);
      case kAudioUnitGetPropertyInfoSelect:
        return method(s_calls.getPropertyInfo);
      case kAudioUnitGetPropertySelect:
        return method(s_calls.getProperty);
      case kAudioUnitSetPropertySelect:
        return method(s_calls.setProperty);
      case kAudioUnitAddPropertyListenerSelect:
        return method(addListener);
      case kAudioUnitRemovePropertyListenerWithUserDataSelect:
        return method(removeListener);
      default:
        return nullptr;
    }
  }

  static AudioComponentPlugInInterface* factory(const AudioComponentDescription*) {
    auto* u = new Unit();
    u->iface = {open, close, lookup, nullptr};
    return &u->iface;
  }
};

}  // namespace fakeunits
