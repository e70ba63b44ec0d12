// AudioUnitUtilities stand-in: parameter and event listeners.
//
// Delivery rules, as on the Mac:
// - AUParameterSet sets the value with AudioUnitSetParameter, then notifies
//   every registration for that parameter's value change except one whose
//   listener and object both equal the sender's.
// - Value changes are coalesced per listener and parameter to at most one
//   delivery per notification interval; a delivery carries the latest value.
// - Property-change events are queued, in order, when the unit calls its
//   property listeners.
// - Delivery happens only on the run loop the listener was created on, while
//   it runs in the listener's mode; after AUListenerDispose nothing more is
//   delivered, not even events already queued.
#pragma once

#include <AudioUnit/AudioUnit.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AUListenerBase* AUParameterListenerRef;
typedef AUParameterListenerRef AUEventListenerRef;

typedef struct AudioUnitParameter {
  AudioUnit mAudioUnit;
  AudioUnitParameterID mParameterID;
  AudioUnitScope mScope;
  AudioUnitElement mElement;
} AudioUnitParameter;

typedef struct AudioUnitProperty {
  AudioUnit mAudioUnit;
  AudioUnitPropertyID mPropertyID;
  AudioUnitScope mScope;
  AudioUnitElement mElement;
} AudioUnitProperty;

typedef UInt32 AudioUnitEventType;
enum {
  kAudioUnitEvent_ParameterValueChange = 0,
  kAudioUnitEvent_BeginParameterChangeGesture = 1,
  kAudioUnitEvent_EndParameterChangeGesture = 2,
  kAudioUnitEvent_PropertyChange = 3
};

typedef struct AudioUnitEvent {
  AudioUnitEventType mEventType;
  union {
    AudioUnitParameter mParameter;
    AudioUnitProperty mProperty;
  } mArgument;
} AudioUnitEvent;

typedef void (*AUParameterListenerProc)(void* inRefCon, void* inObject, const AudioUnitParameter* inParameter,
                                        AudioUnitParameterValue inValue);
typedef void (*AUEventListenerProc)(void* inCallbackRefCon, void* inObject, const AudioUnitEvent* inEvent,
                                    UInt64 inEventHostTime, AudioUnitParameterValue inParameterValue);

enum { kAUParameterListener_AnyParameter = 0xFFFFFFFF };

OSStatus AUListenerCreate(AUParameterListenerProc inProc, void* inUserData, CFRunLoopRef inRunLoop,
                          CFStringRef inRunLoopMode, Float32 inNotificationInterval,
                          AUParameterListenerRef* outListener);
OSStatus AUListenerDispose(AUParameterListenerRef inListener);
OSStatus AUListenerAddParameter(AUParameterListenerRef inListener, void* inObject,
                                const AudioUnitParameter* inParameter);
OSStatus AUListenerRemoveParameter(AUParameterListenerRef inListener, void* inObject,
                                   const AudioUnitParameter* inParameter);

OSStatus AUEventListenerCreate(AUEventListenerProc inProc, void* inUserData, CFRunLoopRef inRunLoop,
                               CFStringRef inRunLoopMode, Float32 inNotificationInterval,
                               Float32 inValueChangeGranularity, AUEventListenerRef* outListener);
OSStatus AUEventListenerAddEventType(AUEventListenerRef inListener, void* inObject, const AudioUnitEvent* inEvent);
OSStatus AUEventListenerRemoveEventType(AUEventListenerRef inListener, void* inObject, const AudioUnitEvent* inEvent);

OSStatus AUParameterSet(AUParameterListenerRef inSendingListener, void* inSendingObject,
                        const AudioUnitParameter* inParameter, AudioUnitParameterValue inValue,
                        UInt32 inBufferOffsetInFrames);
OSStatus AUParameterListenerNotify(AUParameterListenerRef inSendingListener, void* inSendingObject,
                                   const AudioUnitParameter* inParameter);
OSStatus AUEventListenerNotify(AUEventListenerRef inSendingListener, void* inSendingObject,
                               const AudioUnitEvent* inEvent);

#ifdef __cplusplus
}
#endif
