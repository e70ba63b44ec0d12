#include "chaosunit.h"

#include <cstring>

namespace chaos {
namespace {

std::string gBundlePath;
Unit* gLastOpened = nullptr;

Unit* unitOf(void* self) { return static_cast<Unit*>(self); }

OSStatus open(void* self, AudioComponentInstance instance) {
  unitOf(self)->self = instance;
  gLastOpened = unitOf(self);
  return noErr;
}

OSStatus close(void* self) {
  delete unitOf(self);
  return noErr;
}

OSStatus getParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                      AudioUnitParameterValue* out) {
  Unit* u = unitOf(self);
  if (id >= kParamCount || scope != kAudioUnitScope_Global || element != 0 || !out)
    return kAudioUnitErr_InvalidParameter;
  if (u->roll(u->failRead)) {
    ++u->failedReads;
    return kAudioUnitErr_CannotDoInCurrentContext;
  }
  *out = u->params[id];
  return noErr;
}

OSStatus setParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                      AudioUnitParameterValue value, UInt32) {
  Unit* u = unitOf(self);
  if (id >= kParamCount || scope != kAudioUnitScope_Global || element != 0) return kAudioUnitErr_InvalidParameter;
  u->sets.push_back({id, value});
  if (u->roll(u->failSet)) {
    ++u->failedSets;
    return kAudioUnitErr_CannotDoInCurrentContext;
  }
  u->params[id] = value;
  return noErr;
}

void callListeners(Unit* u, AudioUnitPropertyID id) {
  const auto listeners = u->listeners;  // a listener may remove itself
  for (const auto& l : listeners)
    if (l.id == id) l.proc(l.userData, u->self, id, kAudioUnitScope_Global, 0);
}

OSStatus getPropertyInfo(void*, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, UInt32* size,
                         Boolean* writable) {
  UInt32 s = 0;
  Boolean w = false;
  if (id == kAudioUnitProperty_CocoaUI) s = sizeof(AudioUnitCocoaViewInfo);
  else if (id == kText) s = kTextSize, w = true;
  else if (id == kPlay) s = kPlaySize, w = true;
  else return kAudioUnitErr_InvalidProperty;
  if (size) *size = s;
  if (writable) *writable = w;
  return noErr;
}

OSStatus getProperty(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* out,
                     UInt32* size) {
  Unit* u = unitOf(self);
  if (!out || !size) return kAudio_ParamError;
  if (id == kAudioUnitProperty_CocoaUI) {
    if (*size < sizeof(AudioUnitCocoaViewInfo)) return kAudioUnitErr_InvalidPropertyValue;
    auto* info = static_cast<AudioUnitCocoaViewInfo*>(out);
    info->mCocoaAUViewBundleLocation = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(gBundlePath.c_str()), CFIndex(gBundlePath.size()), false);
    info->mCocoaAUViewClass[0] = CFStringCreateWithCString(nullptr, "AUGlimm3_ViewFactory", kCFStringEncodingUTF8);
    *size = sizeof(AudioUnitCocoaViewInfo);
    return noErr;
  }
  if (id != kText) return kAudioUnitErr_InvalidProperty;
  if (*size < kTextSize) return kAudioUnitErr_InvalidPropertyValue;
  if (u->roll(u->failTextRead)) {
    ++u->failedTextReads;
    return kAudioUnitErr_CannotDoInCurrentContext;
  }
  std::memcpy(out, u->text, kTextSize);  // as stored: possibly without a terminator
  *size = kTextSize;
  return noErr;
}

OSStatus setProperty(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, const void* data,
                     UInt32 size) {
  Unit* u = unitOf(self);
  if (id == kPlay) {
    ++u->plays;
    if (size != kPlaySize) ++u->badPlaySizes;
    return noErr;
  }
  if (id != kText) return kAudioUnitErr_InvalidProperty;
  if (!data) return kAudio_ParamError;
  if (size != kTextSize) {
    ++u->badTextSizes;
    return kAudioUnitErr_InvalidPropertyValue;
  }
  ++u->textSetsFromEditor;
  std::memcpy(u->text, data, kTextSize);
  // Also on an unchanged text, as the real unit does: views wait for the echo.
  callListeners(u, id);
  return noErr;
}

OSStatus addListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData) {
  unitOf(self)->listeners.push_back({id, proc, userData});
  return noErr;
}

OSStatus removeListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData) {
  auto& v = unitOf(self)->listeners;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->id == id && it->proc == proc && it->userData == userData) {
      v.erase(it);
      return noErr;
    }
  }
  return kAudioUnitErr_InvalidProperty;
}

AudioComponentMethod lookup(SInt16 selector) {
  switch (selector) {
    case kAudioUnitGetParameterSelect: return reinterpret_cast<AudioComponentMethod>(getParameter);
    case kAudioUnitSetParameterSelect: return reinterpret_cast<AudioComponentMethod>(setParameter);
    case kAudioUnitGetPropertyInfoSelect: return reinterpret_cast<AudioComponentMethod>(getPropertyInfo);
    case kAudioUnitGetPropertySelect: return reinterpret_cast<AudioComponentMethod>(getProperty);
    case kAudioUnitSetPropertySelect: return reinterpret_cast<AudioComponentMethod>(setProperty);
    case kAudioUnitAddPropertyListenerSelect: return reinterpret_cast<AudioComponentMethod>(addListener);
    case kAudioUnitRemovePropertyListenerWithUserDataSelect:
      return reinterpret_cast<AudioComponentMethod>(removeListener);
    default: return nullptr;
  }
}

AudioComponentPlugInInterface* factory(const AudioComponentDescription*) {
  auto* u = new Unit();
  u->iface = {open, close, lookup, nullptr};
  return &u->iface;
}

AudioComponent gComponents[2] = {};

}  // namespace

void registerComponents(const std::string& bundlePath) {
  gBundlePath = bundlePath;
  if (gComponents[0]) return;
  const AudioComponentDescription a{kAudioUnitType_MusicDevice, 0x746f7231 /* 'tor1' */, 0x476c6d6d, 0, 0};
  const AudioComponentDescription b{kAudioUnitType_MusicDevice, 0x746f7232 /* 'tor2' */, 0x476c6d6d, 0, 0};
  gComponents[0] = AudioComponentRegister(&a, CFSTR("Glimm: torture unit A"), 0x10000, factory);
  gComponents[1] = AudioComponentRegister(&b, CFSTR("Glimm: torture unit B"), 0x10000, factory);
}

Instance newInstance(int component) {
  Instance i;
  gLastOpened = nullptr;
  if (AudioComponentInstanceNew(gComponents[component & 1], &i.au) == noErr) i.unit = gLastOpened;
  return i;
}

bool automate(Unit* u, AudioUnitParameterID id, float value) {
  u->params[id] = value;
  const AudioUnitParameter p{u->self, id, kAudioUnitScope_Global, 0};
  return AUParameterListenerNotify(nullptr, nullptr, &p) == noErr;
}

void setTextFromUnit(Unit* u, const unsigned char (&bytes)[kTextSize]) {
  std::memcpy(u->text, bytes, kTextSize);
  callListeners(u, kText);
}

std::string storedText(const Unit* u) {
  const void* nul = std::memchr(u->text, 0, kTextSize);
  const size_t n = nul ? size_t(static_cast<const unsigned char*>(nul) - u->text) : size_t(kTextSize);
  return std::string(reinterpret_cast<const char*>(u->text), n);
}

}  // namespace chaos
