// The speech unit's Audio Unit face: the property table, parameter addresses,
// property listeners and the render call's buffer rules, over the voice
// controller that does the speaking. Private to the unit module.
//
// Threads: the host's control thread calls everything but render and
// midiEvent; render runs on the host's audio thread and never locks or
// allocates, unless the host has set kAudioUnitProperty_OfflineRender (it
// renders offline, with no real-time constraint), when it may wait for the
// engine thread; midiEvent and setParameter may come from either. parameterChanged
// arrives on the control thread or the engine thread, never on render.
// The component's entry points (SpeechUnitComponent.cpp) are the exception
// boundary; render and midiEvent throw nothing.
#pragma once

#include "VoiceController.h"

#include <AudioUnit/AudioUnitProperties.h>
#include <AudioUnit/MusicDevice.h>

#include <atomic>
#include <mutex>
#include <vector>

class SpeechUnit final : private VoiceController::Observer {
 public:
  explicit SpeechUnit(AudioComponentInstance instance);
  ~SpeechUnit();

  OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                        AudioUnitParameterValue* out);
  OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                        AudioUnitParameterValue value);

  OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, UInt32* outSize,
                           Boolean* outWritable);
  OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, void* out, UInt32* ioSize);
  OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, const void* data,
                       UInt32 size);
  OSStatus addPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData);
  OSStatus removePropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, bool matchUserData,
                                  void* userData);

  OSStatus initialize();
  OSStatus uninitialize();
  OSStatus reset(AudioUnitScope, AudioUnitElement);
  OSStatus render(AudioUnitRenderActionFlags* flags, UInt32 bus, UInt32 frames, AudioBufferList* io);
  OSStatus midiEvent(UInt32 status, UInt32 data1, UInt32 data2, UInt32 offsetFrames);

 private:
  struct Listener {
    AudioUnitPropertyID id;
    AudioUnitPropertyListenerProc proc;
    void* userData;
  };

  void parameterChanged(int index) override;
  OSStatus describeProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, UInt32& size,
                            Boolean& writable);
  AudioStreamBasicDescription format() const;
  OSStatus acceptFormat(const AudioStreamBasicDescription& f) const;
  OSStatus cocoaViewInfo(AudioUnitCocoaViewInfo* out) const;
  void callPropertyListeners(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem);

  AudioComponentInstance m_instance;
  VoiceController m_voice;
  std::mutex m_listenerMutex;
  std::vector<Listener> m_listeners;
  Float64 m_rate = 44100;
  UInt32 m_channels = 2;
  UInt32 m_maxFrames;
  // kAudioUnitProperty_OfflineRender: the host renders faster than real time
  // and lets render wait for the synthesis. Set by the control thread.
  std::atomic<bool> m_offline{false};
  std::vector<float> m_scratch;
};
