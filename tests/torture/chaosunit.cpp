#include "chaosunit.h"

#include <cstring>

namespace chaos {
namespace {

using Plumbing = fakeunits::Component<Unit>;

std::string gBundlePath;

Unit* unitOf(void* self) { return Plumbing::unitOf(self); }

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

OSStatus getPropertyInfo(void*, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, UInt32* size,
                         Boolean* writable) {
  UInt32 s = 0;
  Boolean w = false;
  if (id == kAudioUnitProperty_CocoaUI)
    s = sizeof(AudioUnitCocoaViewInfo);
  else if (id == kText)
    s = kTextSize, w = true;
  else if (id == kPlay)
    s = kPlaySize, w = true;
  else
    return kAudioUnitErr_InvalidProperty;
  if (size) *size = s;
  if (writable) *writable = w;
  return noErr;
}

OSStatus getProperty(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* out, UInt32* size) {
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
  u->callListeners(id);
  return noErr;
}

AudioComponent gComponents[2] = {};

}  // namespace

void registerComponents(const std::string& bundlePath) {
  gBundlePath = bundlePath;
  if (gComponents[0]) return;
  const AudioComponentDescription a{kAudioUnitType_MusicDevice, 0x746f7231 /* 'tor1' */, 0x476c6d6d, 0, 0};
  const AudioComponentDescription b{kAudioUnitType_MusicDevice, 0x746f7232 /* 'tor2' */, 0x476c6d6d, 0, 0};
  const fakeunits::Calls calls{getParameter, setParameter, getPropertyInfo, getProperty, setProperty};
  gComponents[0] = Plumbing::add(a, CFSTR("Glimm: torture unit A"), calls);
  gComponents[1] = Plumbing::add(b, CFSTR("Glimm: torture unit B"), calls);
}

Instance newInstance(int component) {
  Instance i;
  Plumbing::lastOpened = nullptr;
  if (AudioComponentInstanceNew(gComponents[component & 1], &i.au) == noErr) i.unit = Plumbing::lastOpened;
  return i;
}

bool automate(Unit* u, AudioUnitParameterID id, float value) {
  u->params[id] = value;
  const AudioUnitParameter p{u->self, id, kAudioUnitScope_Global, 0};
  return AUParameterListenerNotify(nullptr, nullptr, &p) == noErr;
}

void setTextFromUnit(Unit* u, const unsigned char (&bytes)[kTextSize]) {
  std::memcpy(u->text, bytes, kTextSize);
  u->callListeners(kText);
}

std::string storedText(const Unit* u) {
  const void* nul = std::memchr(u->text, 0, kTextSize);
  const size_t n = nul ? size_t(static_cast<const unsigned char*>(nul) - u->text) : size_t(kTextSize);
  return std::string(reinterpret_cast<const char*>(u->text), n);
}

}  // namespace chaos
