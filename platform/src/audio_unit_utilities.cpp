// Parameter and event listeners.
//
// Listener handles are ids that are never reused, so a stale handle simply
// finds nothing. Work queued on a listener's run loop names the listener by
// id and looks it up when it runs: disposing a listener drops its queued
// events without touching the loop. A coalesced value change carries the
// latest value given to (or read by) the notifier, not one read at delivery,
// so delivery never calls into the unit from the listener's thread.
#include <AudioToolbox/AudioUnitUtilities.h>

#include "cf_internal.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace {

using glimm::cf::monotonicNs;
namespace runloop = glimm::cf::runloop;

struct Registration {
  uint64_t id;
  void* object;
  AudioUnitEvent event;
};

using ParamKey = std::tuple<void*, AudioUnit, AudioUnitParameterID, AudioUnitScope, AudioUnitElement>;

struct Coalesced {
  AudioUnitParameterValue value = 0;
  UInt64 hostTime = 0;
  bool scheduled = false;
  int64_t lastDelivery = 0;
  bool delivered = false;
};

struct Listener {
  uint64_t id = 0;
  AUParameterListenerProc parameterProc = nullptr;
  AUEventListenerProc eventProc = nullptr;
  void* userData = nullptr;
  CFRunLoopRef loop = nullptr;  // retained
  CFStringRef mode = nullptr;   // retained
  int64_t intervalNs = 0;
  std::vector<Registration> registrations;
  std::map<ParamKey, Coalesced> values;

  ~Listener() {
    CFRelease(loop);
    CFRelease(mode);
  }
};

std::mutex gMutex;
std::unordered_map<uint64_t, std::shared_ptr<Listener>>& listeners() {
  static auto* m = new std::unordered_map<uint64_t, std::shared_ptr<Listener>>();
  return *m;
}
uint64_t gNextId = 1;  // listener and registration ids share one sequence

uint64_t idOf(AUListenerBase* ref) { return uint64_t(reinterpret_cast<uintptr_t>(ref)); }
AUListenerBase* refOf(uint64_t id) { return reinterpret_cast<AUListenerBase*>(uintptr_t(id)); }

// Caller holds gMutex.
std::shared_ptr<Listener> find(uint64_t id) {
  auto it = listeners().find(id);
  return it == listeners().end() ? nullptr : it->second;
}

bool unitAlive(AudioUnit unit) { return AudioComponentInstanceGetComponent(unit) != nullptr; }

bool sameParameter(const AudioUnitParameter& reg, const AudioUnitParameter& p) {
  return reg.mAudioUnit == p.mAudioUnit && reg.mScope == p.mScope && reg.mElement == p.mElement &&
         (reg.mParameterID == p.mParameterID || reg.mParameterID == kAUParameterListener_AnyParameter);
}

bool sameProperty(const AudioUnitProperty& a, const AudioUnitProperty& b) {
  return a.mAudioUnit == b.mAudioUnit && a.mPropertyID == b.mPropertyID && a.mScope == b.mScope &&
         a.mElement == b.mElement;
}

bool sameRegistration(const AudioUnitEvent& a, const AudioUnitEvent& b) {
  if (a.mEventType != b.mEventType) return false;
  if (a.mEventType == kAudioUnitEvent_PropertyChange) return sameProperty(a.mArgument.mProperty, b.mArgument.mProperty);
  const AudioUnitParameter& x = a.mArgument.mParameter;
  const AudioUnitParameter& y = b.mArgument.mParameter;
  return x.mAudioUnit == y.mAudioUnit && x.mParameterID == y.mParameterID && x.mScope == y.mScope &&
         x.mElement == y.mElement;
}

void call(const Listener& l, void* object, const AudioUnitEvent& event, UInt64 hostTime,
          AudioUnitParameterValue value) {
  if (l.eventProc) {
    l.eventProc(l.userData, object, &event, hostTime, value);
  } else if (l.parameterProc && event.mEventType == kAudioUnitEvent_ParameterValueChange) {
    l.parameterProc(l.userData, object, &event.mArgument.mParameter, value);
  }
}

bool stillRegistered(const Listener& l, uint64_t registrationId) {
  return std::any_of(l.registrations.begin(), l.registrations.end(),
                     [&](const Registration& r) { return r.id == registrationId; });
}

// Runs on the listener's loop.
void deliverValue(uint64_t listenerId, uint64_t registrationId, ParamKey key) {
  std::shared_ptr<Listener> l;
  AudioUnitParameterValue value;
  UInt64 hostTime;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    l = find(listenerId);
    if (!l) return;
    auto it = l->values.find(key);
    if (it == l->values.end()) return;
    it->second.scheduled = false;
    it->second.lastDelivery = monotonicNs();
    it->second.delivered = true;
    value = it->second.value;
    hostTime = it->second.hostTime;
    if (!stillRegistered(*l, registrationId)) return;
  }
  const AudioUnit unit = std::get<1>(key);
  if (!unitAlive(unit)) return;
  AudioUnitEvent event{};
  event.mEventType = kAudioUnitEvent_ParameterValueChange;
  event.mArgument.mParameter = {unit, std::get<2>(key), std::get<3>(key), std::get<4>(key)};
  call(*l, std::get<0>(key), event, hostTime, value);  // `l` keeps the listener alive if the callback disposes it
}

// Runs on the listener's loop.
void deliverEvent(uint64_t listenerId, uint64_t registrationId, void* object, AudioUnitEvent event, UInt64 hostTime) {
  std::shared_ptr<Listener> l;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    l = find(listenerId);
    if (!l || !stillRegistered(*l, registrationId)) return;
  }
  const AudioUnit unit = event.mEventType == kAudioUnitEvent_PropertyChange ? event.mArgument.mProperty.mAudioUnit
                                                                            : event.mArgument.mParameter.mAudioUnit;
  if (!unitAlive(unit)) return;
  call(*l, object, event, hostTime, 0);
}

// Caller holds gMutex.
void queueValue(Listener& l, const Registration& r, const AudioUnitParameter& p, AudioUnitParameterValue value,
                UInt64 now) {
  const ParamKey key{r.object, p.mAudioUnit, p.mParameterID, p.mScope, p.mElement};
  Coalesced& c = l.values[key];
  c.value = value;
  c.hostTime = now;
  if (c.scheduled) return;  // the delivery already queued will carry this value
  c.scheduled = true;
  // After a quiet interval the change goes out on the next turn of the loop;
  // otherwise at the end of the interval that began with the last delivery.
  const int64_t due = c.delivered ? std::max<int64_t>(int64_t(now), c.lastDelivery + l.intervalNs) : 0;
  const uint64_t lid = l.id, rid = r.id;
  runloop::schedule(l.loop, l.mode, due, [lid, rid, key] { deliverValue(lid, rid, key); });
}

void notifyValue(AUListenerBase* sender, void* senderObject, const AudioUnitParameter& p,
                 AudioUnitParameterValue value) {
  const uint64_t senderId = idOf(sender);
  const UInt64 now = UInt64(monotonicNs());
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& [id, l] : listeners()) {
    for (const Registration& r : l->registrations) {
      if (r.event.mEventType != kAudioUnitEvent_ParameterValueChange) continue;
      if (!sameParameter(r.event.mArgument.mParameter, p)) continue;
      if (id == senderId && r.object == senderObject) continue;
      queueValue(*l, r, p, value, now);
    }
  }
}

// Gestures and property changes: every one is delivered, in order.
void notifyEvent(AUListenerBase* sender, void* senderObject, const AudioUnitEvent& e) {
  const uint64_t senderId = idOf(sender);
  const UInt64 now = UInt64(monotonicNs());
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& [id, l] : listeners()) {
    for (const Registration& r : l->registrations) {
      if (r.event.mEventType != e.mEventType) continue;
      if (e.mEventType == kAudioUnitEvent_PropertyChange
              ? !sameProperty(r.event.mArgument.mProperty, e.mArgument.mProperty)
              : !sameParameter(r.event.mArgument.mParameter, e.mArgument.mParameter))
        continue;
      if (id == senderId && r.object == senderObject) continue;
      const uint64_t lid = l->id, rid = r.id;
      void* object = r.object;
      runloop::schedule(l->loop, l->mode, 0, [lid, rid, object, e, now] { deliverEvent(lid, rid, object, e, now); });
    }
  }
}

// The unit calls this when a property a registration watches changes.
// `refCon` carries the registration id, never a pointer, so a call that races
// with removal finds nothing.
void propertyChanged(void* refCon, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                     AudioUnitElement element) {
  const uint64_t registrationId = uint64_t(reinterpret_cast<uintptr_t>(refCon));
  const UInt64 now = UInt64(monotonicNs());
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& [lid, l] : listeners()) {
    for (const Registration& r : l->registrations) {
      if (r.id != registrationId) continue;
      AudioUnitEvent e{};
      e.mEventType = kAudioUnitEvent_PropertyChange;
      e.mArgument.mProperty = {unit, id, scope, element};
      if (!sameProperty(r.event.mArgument.mProperty, e.mArgument.mProperty)) return;
      const uint64_t listenerId = lid, rid = r.id;
      void* object = r.object;
      runloop::schedule(l->loop, l->mode, 0,
                        [listenerId, rid, object, e, now] { deliverEvent(listenerId, rid, object, e, now); });
      return;
    }
  }
}

OSStatus create(AUParameterListenerProc parameterProc, AUEventListenerProc eventProc, void* userData,
                CFRunLoopRef runLoop, CFStringRef mode, Float32 interval, AUListenerBase** out) {
  if (!out) return kAudio_ParamError;
  *out = nullptr;
  if (!parameterProc && !eventProc) return kAudio_ParamError;
  auto l = std::make_shared<Listener>();
  l->parameterProc = parameterProc;
  l->eventProc = eventProc;
  l->userData = userData;
  l->loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(runLoop ? runLoop : CFRunLoopGetCurrent())));
  l->mode = static_cast<CFStringRef>(CFRetain(mode ? mode : kCFRunLoopDefaultMode));
  // NaN, negative and absurd intervals are clamped rather than trusted.
  const double seconds = std::isfinite(interval) ? std::clamp(double(interval), 0.0, 3600.0) : 0.0;
  l->intervalNs = int64_t(seconds * 1e9);
  runloop::addSource(l->loop, l->mode);
  std::lock_guard<std::mutex> lock(gMutex);
  l->id = gNextId++;
  listeners().emplace(l->id, l);
  *out = refOf(l->id);
  return noErr;
}

OSStatus addRegistration(AUListenerBase* ref, void* object, const AudioUnitEvent& e) {
  if (e.mEventType > kAudioUnitEvent_PropertyChange) return kAudio_ParamError;
  uint64_t registrationId;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto l = find(idOf(ref));
    if (!l) return kAudio_ParamError;
    for (const Registration& r : l->registrations)
      if (r.object == object && sameRegistration(r.event, e)) return noErr;  // already there
    registrationId = gNextId++;
    l->registrations.push_back({registrationId, object, e});
  }
  if (e.mEventType != kAudioUnitEvent_PropertyChange) return noErr;
  // Outside the lock: a unit may call its listeners from within this call.
  const OSStatus err =
      AudioUnitAddPropertyListener(e.mArgument.mProperty.mAudioUnit, e.mArgument.mProperty.mPropertyID, propertyChanged,
                                   reinterpret_cast<void*>(uintptr_t(registrationId)));
  if (err != noErr) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (auto l = find(idOf(ref))) {
      auto& regs = l->registrations;
      regs.erase(
          std::remove_if(regs.begin(), regs.end(), [&](const Registration& r) { return r.id == registrationId; }),
          regs.end());
    }
  }
  return err;
}

void removePropertyListeners(const std::vector<Registration>& removed) {
  for (const Registration& r : removed) {
    if (r.event.mEventType != kAudioUnitEvent_PropertyChange) continue;
    // A unit disposed meanwhile answers badComponentInstance, which is fine.
    (void)AudioUnitRemovePropertyListenerWithUserData(r.event.mArgument.mProperty.mAudioUnit,
                                                      r.event.mArgument.mProperty.mPropertyID, propertyChanged,
                                                      reinterpret_cast<void*>(uintptr_t(r.id)));
  }
}

OSStatus removeRegistration(AUListenerBase* ref, void* object, const AudioUnitEvent& e) {
  std::vector<Registration> removed;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto l = find(idOf(ref));
    if (!l) return kAudio_ParamError;
    auto& regs = l->registrations;
    auto keep = std::stable_partition(regs.begin(), regs.end(), [&](const Registration& r) {
      return !(r.object == object && sameRegistration(r.event, e));
    });
    removed.assign(keep, regs.end());
    regs.erase(keep, regs.end());
  }
  removePropertyListeners(removed);
  return removed.empty() ? OSStatus(kAudio_ParamError) : OSStatus(noErr);
}

}  // namespace

extern "C" {

OSStatus AUListenerCreate(AUParameterListenerProc inProc, void* inUserData, CFRunLoopRef inRunLoop,
                          CFStringRef inRunLoopMode, Float32 inNotificationInterval,
                          AUParameterListenerRef* outListener) {
  return create(inProc, nullptr, inUserData, inRunLoop, inRunLoopMode, inNotificationInterval, outListener);
}

OSStatus AUEventListenerCreate(AUEventListenerProc inProc, void* inUserData, CFRunLoopRef inRunLoop,
                               CFStringRef inRunLoopMode, Float32 inNotificationInterval, Float32,
                               AUEventListenerRef* outListener) {
  // The granularity is not used: the interval alone bounds how often value changes arrive.
  return create(nullptr, inProc, inUserData, inRunLoop, inRunLoopMode, inNotificationInterval, outListener);
}

OSStatus AUListenerDispose(AUParameterListenerRef inListener) {
  std::shared_ptr<Listener> l;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = listeners().find(idOf(inListener));
    if (it == listeners().end()) return kAudio_ParamError;
    l = std::move(it->second);
    listeners().erase(it);
  }
  removePropertyListeners(l->registrations);
  runloop::removeSource(l->loop, l->mode);
  return noErr;
}

namespace {
// A parameter listener's registration is an event listener's for value changes.
AudioUnitEvent valueChangeOf(const AudioUnitParameter& p) {
  AudioUnitEvent e{};
  e.mEventType = kAudioUnitEvent_ParameterValueChange;
  e.mArgument.mParameter = p;
  return e;
}
}  // namespace

OSStatus AUListenerAddParameter(AUParameterListenerRef inListener, void* inObject,
                                const AudioUnitParameter* inParameter) {
  if (!inParameter) return kAudio_ParamError;
  return addRegistration(inListener, inObject, valueChangeOf(*inParameter));
}

OSStatus AUListenerRemoveParameter(AUParameterListenerRef inListener, void* inObject,
                                   const AudioUnitParameter* inParameter) {
  if (!inParameter) return kAudio_ParamError;
  return removeRegistration(inListener, inObject, valueChangeOf(*inParameter));
}

OSStatus AUEventListenerAddEventType(AUEventListenerRef inListener, void* inObject, const AudioUnitEvent* inEvent) {
  if (!inEvent) return kAudio_ParamError;
  return addRegistration(inListener, inObject, *inEvent);
}

OSStatus AUEventListenerRemoveEventType(AUEventListenerRef inListener, void* inObject, const AudioUnitEvent* inEvent) {
  if (!inEvent) return kAudio_ParamError;
  return removeRegistration(inListener, inObject, *inEvent);
}

OSStatus AUParameterSet(AUParameterListenerRef inSendingListener, void* inSendingObject,
                        const AudioUnitParameter* inParameter, AudioUnitParameterValue inValue,
                        UInt32 inBufferOffsetInFrames) {
  if (!inParameter) return kAudio_ParamError;
  const AudioUnitParameter p = *inParameter;
  OSStatus err =
      AudioUnitSetParameter(p.mAudioUnit, p.mParameterID, p.mScope, p.mElement, inValue, inBufferOffsetInFrames);
  if (err != noErr) return err;
  // Listeners get what the unit holds now, which may be clamped; a unit that
  // cannot report it gets the value as sent.
  AudioUnitParameterValue value = inValue;
  if (AudioUnitGetParameter(p.mAudioUnit, p.mParameterID, p.mScope, p.mElement, &value) != noErr) value = inValue;
  notifyValue(inSendingListener, inSendingObject, p, value);
  return noErr;
}

OSStatus AUParameterListenerNotify(AUParameterListenerRef inSendingListener, void* inSendingObject,
                                   const AudioUnitParameter* inParameter) {
  if (!inParameter) return kAudio_ParamError;
  const AudioUnitParameter p = *inParameter;
  AudioUnitParameterValue value = 0;
  const OSStatus err = AudioUnitGetParameter(p.mAudioUnit, p.mParameterID, p.mScope, p.mElement, &value);
  if (err != noErr) return err;
  notifyValue(inSendingListener, inSendingObject, p, value);
  return noErr;
}

OSStatus AUEventListenerNotify(AUEventListenerRef inSendingListener, void* inSendingObject,
                               const AudioUnitEvent* inEvent) {
  if (!inEvent) return kAudio_ParamError;
  switch (inEvent->mEventType) {
    case kAudioUnitEvent_ParameterValueChange:
      return AUParameterListenerNotify(inSendingListener, inSendingObject, &inEvent->mArgument.mParameter);
    case kAudioUnitEvent_BeginParameterChangeGesture:
    case kAudioUnitEvent_EndParameterChangeGesture:
    case kAudioUnitEvent_PropertyChange:
      notifyEvent(inSendingListener, inSendingObject, *inEvent);
      return noErr;
    default:
      return kAudio_ParamError;
  }
}

}  // extern "C"
