// A speech unit for the bridge tests: parameters 0-4 whose reads and writes
// can be made to fail, the text property that tells its listeners about every
// set, a play property that only counts, and an editor location.
#pragma once

#include "FakeUnitBase.h"

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fakeunit {

enum : OSType { kType = 0x61756d75 /* 'aumu' */, kSubType = 0x66616b65 /* 'fake' */, kManufacturer = 0x476c6d6d };
enum : AudioUnitPropertyID { kText = 0x20000, kPlay = 0x20001, kOther = 0x20002 };
enum { kParamCount = 7, kTextSize = 512 };

struct Unit : fakeunits::UnitBase {
  float params[kParamCount] = {};
  char text[kTextSize] = {};

  // Failures to simulate.
  int failReadOf = -1;      // this parameter's read fails
  bool failWrites = false;  // every parameter write fails
  OSStatus textReadStatus = noErr;

  // What happened.
  std::vector<AudioUnitParameterID> reads;
  std::vector<std::pair<AudioUnitParameterID, float>> writes;
  std::vector<std::string> textSets;  // text up to the terminator
  std::vector<UInt32> textSetSizes;
  std::vector<UInt32> playSizes;
  std::function<void(AudioUnitParameterID)> onRead;

  std::string editorBundle;  // Cocoa-UI answer; empty: none
};

using Plumbing = fakeunits::Component<Unit>;

inline Unit* unitOf(void* self) { return Plumbing::unitOf(self); }

inline OSStatus getParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                             AudioUnitParameterValue* out) {
  Unit* u = unitOf(self);
  u->reads.push_back(id);
  if (u->onRead) u->onRead(id);
  if (id >= kParamCount || scope != kAudioUnitScope_Global || element != 0) return kAudioUnitErr_InvalidParameter;
  if (int(id) == u->failReadOf) return kAudioUnitErr_CannotDoInCurrentContext;
  *out = u->params[id];
  return noErr;
}

inline OSStatus setParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                             AudioUnitParameterValue value, UInt32) {
  Unit* u = unitOf(self);
  if (id >= kParamCount || scope != kAudioUnitScope_Global || element != 0) return kAudioUnitErr_InvalidParameter;
  if (u->failWrites) return kAudioUnitErr_CannotDoInCurrentContext;
  u->params[id] = value;
  u->writes.emplace_back(id, value);
  return noErr;
}

inline OSStatus getPropertyInfo(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, UInt32* size,
                                Boolean* writable) {
  Unit* u = unitOf(self);
  UInt32 s = 0;
  Boolean w = false;
  if (id == kAudioUnitProperty_CocoaUI && !u->editorBundle.empty())
    s = sizeof(AudioUnitCocoaViewInfo);
  else if (id == kText)
    s = kTextSize, w = true;
  else if (id == kPlay)
    s = 8, w = true;
  else
    return kAudioUnitErr_InvalidProperty;
  if (size) *size = s;
  if (writable) *writable = w;
  return noErr;
}

inline OSStatus getProperty(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* out,
                            UInt32* size) {
  Unit* u = unitOf(self);
  if (!out || !size) return kAudio_ParamError;
  if (id == kAudioUnitProperty_CocoaUI && !u->editorBundle.empty()) {
    if (*size < sizeof(AudioUnitCocoaViewInfo)) return kAudioUnitErr_InvalidPropertyValue;
    auto* info = static_cast<AudioUnitCocoaViewInfo*>(out);
    info->mCocoaAUViewBundleLocation = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(u->editorBundle.c_str()), CFIndex(u->editorBundle.size()), false);
    info->mCocoaAUViewClass[0] = CFStringCreateWithCString(nullptr, "AUGlimm3_ViewFactory", kCFStringEncodingUTF8);
    *size = sizeof(AudioUnitCocoaViewInfo);
    return noErr;
  }
  if (id != kText) return kAudioUnitErr_InvalidProperty;
  if (u->textReadStatus != noErr) return u->textReadStatus;
  if (*size < kTextSize) return kAudioUnitErr_InvalidPropertyValue;
  std::memcpy(out, u->text, kTextSize);
  *size = kTextSize;
  return noErr;
}

inline OSStatus setProperty(void* self, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, const void* data,
                            UInt32 size) {
  Unit* u = unitOf(self);
  if (id == kPlay) {
    u->playSizes.push_back(size);
    return noErr;
  }
  if (id != kText) return kAudioUnitErr_InvalidProperty;
  if (!data) return kAudio_ParamError;
  u->textSetSizes.push_back(size);
  const UInt32 n = size < UInt32(kTextSize) ? size : UInt32(kTextSize);
  std::memset(u->text, 0, kTextSize);
  std::memcpy(u->text, data, n);
  u->text[kTextSize - 1] = 0;
  u->textSets.emplace_back(u->text);
  u->callListeners(id);
  return noErr;
}

inline AudioComponent component() {
  static AudioComponent c = [] {
    const AudioComponentDescription d{kType, kSubType, kManufacturer, 0, 0};
    return Plumbing::add(d, CFSTR("Glimm: fake speech unit"),
                         {getParameter, setParameter, getPropertyInfo, getProperty, setProperty});
  }();
  return c;
}

// An instance and its inside; dispose with AudioComponentInstanceDispose.
struct Instance {
  AudioUnit au = nullptr;
  Unit* unit = nullptr;
};

inline Instance newInstance() {
  Instance i;
  AudioComponentInstanceNew(component(), &i.au);
  i.unit = Plumbing::lastOpened;
  return i;
}

// The unit changing its own text, as a preset recall would.
inline void setTextFromUnit(AudioUnit au, const char* text) {
  char buffer[kTextSize] = {};
  std::strncpy(buffer, text, kTextSize - 1);
  AudioUnitSetProperty(au, kText, kAudioUnitScope_Global, 0, buffer, kTextSize);
}

}  // namespace fakeunit
