// Records the view's listener and parameter calls on their way to the
// platform: this executable defines the platform's functions, which record
// and then forward to the real ones.
#pragma once

#include <AudioToolbox/AudioUnitUtilities.h>

#include <vector>

namespace recorder {

struct Created {
  AUEventListenerProc proc;
  void* userData;
  CFRunLoopRef runLoop;
  CFStringRef mode;
  Float32 interval;
  Float32 granularity;
  AUEventListenerRef listener;
};

struct Added {
  AUEventListenerRef listener;
  void* object;
  AudioUnitEvent event;
};

struct ParameterSet {
  AUParameterListenerRef listener;
  void* object;
  AudioUnitParameter parameter;
  AudioUnitParameterValue value;
  UInt32 offset;
  OSStatus result;
};

struct Log {
  std::vector<Created> created;
  std::vector<Added> added;
  std::vector<AUParameterListenerRef> disposed;
  std::vector<ParameterSet> sets;
  void clear() { *this = Log(); }
};

Log& log();

}  // namespace recorder
