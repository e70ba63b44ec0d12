// AudioComponent stand-in: registering, finding and instantiating components.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AudioComponentDescription {
  OSType componentType;
  OSType componentSubType;
  OSType componentManufacturer;
  UInt32 componentFlags;
  UInt32 componentFlagsMask;
} AudioComponentDescription;

typedef struct OpaqueAudioComponent* AudioComponent;
typedef struct ComponentInstanceRecord* AudioComponentInstance;

/* A component method; the plug-in casts it to the selector's own signature. */
typedef OSStatus (*AudioComponentMethod)(void* self, ...);

typedef struct AudioComponentPlugInInterface {
  OSStatus (*Open)(void* self, AudioComponentInstance mInstance);
  OSStatus (*Close)(void* self);
  AudioComponentMethod (*Lookup)(SInt16 selector);
  void* reserved;
} AudioComponentPlugInInterface;

typedef AudioComponentPlugInInterface* (*AudioComponentFactoryFunction)(const AudioComponentDescription* inDesc);

enum { badComponentInstance = (OSStatus)0x80008001, badComponentSelector = (OSStatus)0x80008002 };

enum { kAudioComponentErr_InstanceInvalidated = -66749, kAudioComponentErr_InitializationTimedOut = -66745 };

/* A zero field of the description matches anything, as on the Mac. */
AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc);
UInt32 AudioComponentCount(const AudioComponentDescription* inDesc);
OSStatus AudioComponentCopyName(AudioComponent inComponent, CFStringRef* outName);
OSStatus AudioComponentGetDescription(AudioComponent inComponent, AudioComponentDescription* outDesc);
OSStatus AudioComponentGetVersion(AudioComponent inComponent, UInt32* outVersion);

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance);
OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);
AudioComponent AudioComponentInstanceGetComponent(AudioComponentInstance inInstance);

AudioComponent AudioComponentRegister(const AudioComponentDescription* inDesc, CFStringRef inName, UInt32 inVersion,
                                      AudioComponentFactoryFunction inFactory);

/* Not in Apple's API: removes a registration, for a module that is unloaded.
   Instances already made keep working until disposed. */
OSStatus GlimmAudioComponentUnregister(AudioComponent inComponent);

#ifdef __cplusplus
}
#endif
