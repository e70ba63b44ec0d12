#include "listenerrecorder.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace recorder {

Log& log() {
  static Log l;
  return l;
}

}  // namespace recorder

namespace {

template <typename F>
F next(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (!f) {
    std::fprintf(stderr, "no platform function %s\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(f);
}

}  // namespace

extern "C" {

OSStatus AUEventListenerCreate(AUEventListenerProc proc, void* userData, CFRunLoopRef runLoop, CFStringRef mode,
                               Float32 interval, Float32 granularity, AUEventListenerRef* out) {
  static auto real = next<decltype(&AUEventListenerCreate)>("AUEventListenerCreate");
  const OSStatus err = real(proc, userData, runLoop, mode, interval, granularity, out);
  recorder::log().created.push_back({proc, userData, runLoop, mode, interval, granularity, out ? *out : nullptr});
  return err;
}

OSStatus AUEventListenerAddEventType(AUEventListenerRef listener, void* object, const AudioUnitEvent* event) {
  static auto real = next<decltype(&AUEventListenerAddEventType)>("AUEventListenerAddEventType");
  if (event) recorder::log().added.push_back({listener, object, *event});
  return real(listener, object, event);
}

OSStatus AUListenerDispose(AUParameterListenerRef listener) {
  static auto real = next<decltype(&AUListenerDispose)>("AUListenerDispose");
  recorder::log().disposed.push_back(listener);
  return real(listener);
}

OSStatus AUParameterSet(AUParameterListenerRef listener, void* object, const AudioUnitParameter* parameter,
                        AudioUnitParameterValue value, UInt32 offset) {
  static auto real = next<decltype(&AUParameterSet)>("AUParameterSet");
  const OSStatus err = real(listener, object, parameter, value, offset);
  if (parameter) recorder::log().sets.push_back({listener, object, *parameter, value, offset, err});
  return err;
}

}  // extern "C"
