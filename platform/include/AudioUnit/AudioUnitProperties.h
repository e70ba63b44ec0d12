// AudioUnitProperties stand-in: the property IDs and records the system uses.
#pragma once

#include <AudioUnit/AUComponent.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  kAudioUnitProperty_ClassInfo = 0,
  kAudioUnitProperty_SampleRate = 2,
  kAudioUnitProperty_ParameterList = 3,
  kAudioUnitProperty_ParameterInfo = 4,
  kAudioUnitProperty_StreamFormat = 8,
  kAudioUnitProperty_ElementCount = 11,
  kAudioUnitProperty_Latency = 12,
  kAudioUnitProperty_MaximumFramesPerSlice = 14,
  kAudioUnitProperty_TailTime = 20,
  kAudioUnitProperty_CocoaUI = 31,
  kAudioUnitProperty_OfflineRender = 37
};

typedef UInt32 AudioUnitParameterUnit;
enum {
  kAudioUnitParameterUnit_Generic = 0,
  kAudioUnitParameterUnit_Indexed = 1,
  kAudioUnitParameterUnit_Boolean = 2,
  kAudioUnitParameterUnit_Percent = 3,
  kAudioUnitParameterUnit_Hertz = 8,
  kAudioUnitParameterUnit_MIDINoteNumber = 11,
  kAudioUnitParameterUnit_BPM = 22
};

typedef UInt32 AudioUnitParameterOptions;
enum {
  kAudioUnitParameterFlag_IsHighResolution = (1U << 23),
  kAudioUnitParameterFlag_HasCFNameString = (1U << 27),
  kAudioUnitParameterFlag_IsReadable = (1U << 30),
  kAudioUnitParameterFlag_IsWritable = (1U << 31)
};

typedef struct AudioUnitParameterInfo {
  char name[52];
  CFStringRef unitName;
  UInt32 clumpID;
  CFStringRef cfNameString;
  AudioUnitParameterUnit unit;
  AudioUnitParameterValue minValue;
  AudioUnitParameterValue maxValue;
  AudioUnitParameterValue defaultValue;
  AudioUnitParameterOptions flags;
} AudioUnitParameterInfo;

/* kAudioUnitProperty_CocoaUI: where the editor bundle is and which factory
   classes it holds. The caller owns (and releases) the URL and the names. */
typedef struct AudioUnitCocoaViewInfo {
  CFURLRef mCocoaAUViewBundleLocation;
  CFStringRef mCocoaAUViewClass[1]; /* variable length */
} AudioUnitCocoaViewInfo;

#ifdef __cplusplus
}
#endif
