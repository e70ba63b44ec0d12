// The speech unit's component plumbing: the factory the platform's registry
// calls, the selector table, and the registration made when the module loads
// and withdrawn when it unloads. Every entry point keeps exceptions in:
// through glimm::atBoundary, or, on the render thread, by calling nothing that
// can throw.
#include "SpeechUnit.h"

#include "Boundary.h"

#include <new>

namespace {

struct PlugIn {
  AudioComponentPlugInInterface iface;
  SpeechUnit* unit;
};

SpeechUnit* unitOf(void* self) { return self ? reinterpret_cast<PlugIn*>(self)->unit : nullptr; }

template <typename F>
OSStatus guarded(void* self, F&& f) {
  SpeechUnit* u = unitOf(self);
  if (!u) return badComponentInstance;
  return glimm::atBoundary([&] { return f(*u); }, OSStatus(kAudio_ParamError), OSStatus(kAudio_MemFullError));
}

OSStatus Open(void* self, AudioComponentInstance instance) {
  if (!self) return badComponentInstance;
  auto* p = reinterpret_cast<PlugIn*>(self);
  return glimm::atBoundary(
      [&] {
        p->unit = new SpeechUnit(instance);
        return OSStatus(noErr);
      },
      OSStatus(kAudio_MemFullError));
}

OSStatus Close(void* self) {
  auto* p = reinterpret_cast<PlugIn*>(self);
  if (!p) return badComponentInstance;
  delete p->unit;
  delete p;
  return noErr;
}

OSStatus Initialize(void* self) {
  return guarded(self, [](SpeechUnit& u) { return u.initialize(); });
}
OSStatus Uninitialize(void* self) {
  return guarded(self, [](SpeechUnit& u) { return u.uninitialize(); });
}
OSStatus GetPropertyInfo(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, UInt32* size,
                         Boolean* writable) {
  return guarded(self, [&](SpeechUnit& u) { return u.getPropertyInfo(id, scope, elem, size, writable); });
}
OSStatus GetProperty(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, void* data,
                     UInt32* size) {
  return guarded(self, [&](SpeechUnit& u) { return u.getProperty(id, scope, elem, data, size); });
}
OSStatus SetProperty(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, const void* data,
                     UInt32 size) {
  return guarded(self, [&](SpeechUnit& u) { return u.setProperty(id, scope, elem, data, size); });
}
OSStatus AddPropertyListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* user) {
  return guarded(self, [&](SpeechUnit& u) { return u.addPropertyListener(id, proc, user); });
}
OSStatus RemovePropertyListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc) {
  return guarded(self, [&](SpeechUnit& u) { return u.removePropertyListener(id, proc, false, nullptr); });
}
OSStatus RemovePropertyListenerWithUserData(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                            void* user) {
  return guarded(self, [&](SpeechUnit& u) { return u.removePropertyListener(id, proc, true, user); });
}
OSStatus GetParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                      AudioUnitParameterValue* value) {
  return guarded(self, [&](SpeechUnit& u) { return u.getParameter(id, scope, elem, value); });
}
OSStatus SetParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                      AudioUnitParameterValue value, UInt32) {
  return guarded(self, [&](SpeechUnit& u) { return u.setParameter(id, scope, elem, value); });
}
// Render and MIDIEvent run on the host's render thread and skip the boundary
// on purpose: nothing below them allocates, locks or calls a library that
// throws, so there is nothing to catch, and they stay as lean as the thread
// needs.
OSStatus Render(void* self, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*, UInt32 bus, UInt32 frames,
                AudioBufferList* io) {
  SpeechUnit* u = unitOf(self);
  return u ? u->render(flags, bus, frames, io) : badComponentInstance;
}
OSStatus Reset(void* self, AudioUnitScope scope, AudioUnitElement elem) {
  return guarded(self, [&](SpeechUnit& u) { return u.reset(scope, elem); });
}
OSStatus MIDIEvent(void* self, UInt32 status, UInt32 data1, UInt32 data2, UInt32 offsetFrames) {
  SpeechUnit* u = unitOf(self);
  return u ? u->midiEvent(status, data1, data2, offsetFrames) : badComponentInstance;
}

template <typename Fn>
AudioComponentMethod method(Fn fn) {
  return reinterpret_cast<AudioComponentMethod>(fn);
}

AudioComponentMethod Lookup(SInt16 selector) {
  switch (selector) {
    case kAudioUnitInitializeSelect:
      return method(&Initialize);
    case kAudioUnitUninitializeSelect:
      return method(&Uninitialize);
    case kAudioUnitGetPropertyInfoSelect:
      return method(&GetPropertyInfo);
    case kAudioUnitGetPropertySelect:
      return method(&GetProperty);
    case kAudioUnitSetPropertySelect:
      return method(&SetProperty);
    case kAudioUnitGetParameterSelect:
      return method(&GetParameter);
    case kAudioUnitSetParameterSelect:
      return method(&SetParameter);
    case kAudioUnitResetSelect:
      return method(&Reset);
    case kAudioUnitAddPropertyListenerSelect:
      return method(&AddPropertyListener);
    case kAudioUnitRemovePropertyListenerSelect:
      return method(&RemovePropertyListener);
    case kAudioUnitRemovePropertyListenerWithUserDataSelect:
      return method(&RemovePropertyListenerWithUserData);
    case kAudioUnitRenderSelect:
      return method(&Render);
    case kMusicDeviceMIDIEventSelect:
      return method(&MIDIEvent);
  }
  return nullptr;
}

AudioComponentPlugInInterface* Factory(const AudioComponentDescription*) {
  auto* p = new (std::nothrow) PlugIn;
  if (!p) return nullptr;
  p->iface.Open = &Open;
  p->iface.Close = &Close;
  p->iface.Lookup = &Lookup;
  p->iface.reserved = nullptr;
  p->unit = nullptr;
  return &p->iface;
}

struct Registration {
  AudioComponent component = nullptr;
  Registration() {
    AudioComponentDescription desc;
    desc.componentType = kAudioUnitType_MusicDevice;
    desc.componentSubType = kGlimmComponentSubType;
    desc.componentManufacturer = kGlimmComponentManufacturer;
    desc.componentFlags = 0;
    desc.componentFlagsMask = 0;
    component = AudioComponentRegister(&desc, CFSTR("Glimm: Speech"), kGlimmComponentVersion, &Factory);
  }
  ~Registration() {
    if (component) GlimmAudioComponentUnregister(component);
  }
} g_registration;

}  // namespace
