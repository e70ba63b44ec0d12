// Loads the speech unit module and drives an instance as a host would.
#pragma once

#include "AUGlimm3_Interface.h"
#include "SpeechAnalysis.h"

#include <AudioToolbox/AudioUnitUtilities.h>
#include <AudioUnit/AudioUnitProperties.h>
#include <AudioUnit/MusicDevice.h>

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace harness {

inline AudioComponentDescription speechDescription() {
  AudioComponentDescription d;
  std::memset(&d, 0, sizeof d);
  d.componentType = kAudioUnitType_MusicDevice;
  d.componentSubType = 0x676c6d33;       // 'glm3'
  d.componentManufacturer = 0x476c6d6d;  // 'Glmm'
  return d;
}

inline AudioUnit newUnit(double rate = 48000, UInt32 channels = 2) {
  const AudioComponentDescription d = speechDescription();
  AudioComponent c = AudioComponentFindNext(nullptr, &d);
  if (!c) return nullptr;
  AudioUnit u = nullptr;
  if (AudioComponentInstanceNew(c, &u) != noErr) return nullptr;
  AudioStreamBasicDescription f;
  std::memset(&f, 0, sizeof f);
  f.mSampleRate = rate;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
  f.mBytesPerPacket = f.mBytesPerFrame = 4;
  f.mFramesPerPacket = 1;
  f.mChannelsPerFrame = channels;
  f.mBitsPerChannel = 32;
  if (AudioUnitSetProperty(u, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &f, sizeof f) != noErr ||
      AudioUnitInitialize(u) != noErr) {
    AudioComponentInstanceDispose(u);
    return nullptr;
  }
  return u;
}

inline OSStatus setText(AudioUnit u, const std::string& text) {
  char buf[kGlimmTextBufferSize] = {};
  std::memcpy(buf, text.data(), std::min(text.size(), sizeof buf));
  return AudioUnitSetProperty(u, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buf, sizeof buf);
}

inline OSStatus setVoice(AudioUnit u, const char* name) {
  char buf[kGlimmVoiceBufferSize] = {};
  std::strncpy(buf, name, sizeof buf - 1);
  return AudioUnitSetProperty(u, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, buf, sizeof buf);
}

inline OSStatus play(AudioUnit u) {
  const char bytes[kGlimmPlayDataSize] = {};
  return AudioUnitSetProperty(u, kGlimmProperty_Play, kAudioUnitScope_Global, 0, bytes, sizeof bytes);
}

inline void setParam(AudioUnit u, AudioUnitParameterID id, float v) {
  AudioUnitSetParameter(u, id, kAudioUnitScope_Global, 0, v, 0);
}

// The module loaded as a host loads it, and one unit of it for a test's
// lifetime; the module stays loaded, as hosts keep theirs.
struct LoadedUnit {
  AudioUnit unit = nullptr;
  std::string error;

  LoadedUnit() = default;
  LoadedUnit(const LoadedUnit&) = delete;
  LoadedUnit& operator=(const LoadedUnit&) = delete;
  ~LoadedUnit() {
    if (unit) AudioComponentInstanceDispose(unit);
  }
  bool load(const char* modulePath, double rate = 48000) {
    if (!dlopen(modulePath, RTLD_NOW | RTLD_LOCAL)) {
      error = dlerror();
      return false;
    }
    unit = newUnit(rate);
    if (!unit) error = "the module registered no unit that initializes";
    return unit != nullptr;
  }
};

// A stereo buffer list over two channels of `frames`, in storage of its own;
// filled anew for each render, since a unit may move the list's pointers.
class StereoList {
 public:
  AudioBufferList* over(std::vector<float>& left, std::vector<float>& right, UInt32 frames) {
    auto* list = reinterpret_cast<AudioBufferList*>(m_storage);
    list->mNumberBuffers = 2;
    list->mBuffers[0] = {1, frames * 4, left.data()};
    list->mBuffers[1] = {1, frames * 4, right.data()};
    return list;
  }

 private:
  alignas(AudioBufferList) unsigned char m_storage[sizeof(AudioBufferList) + sizeof(AudioBuffer)];
};

// One stereo block; returns false when the unit reported silence (nothing queued).
inline bool renderBlock(AudioUnit u, std::vector<float>& left, std::vector<float>& right, UInt32 frames,
                        OSStatus* status = nullptr) {
  left.assign(frames, 1.0f);
  right.assign(frames, 1.0f);
  StereoList stereo;
  AudioBufferList* list = stereo.over(left, right, frames);
  AudioUnitRenderActionFlags flags = 0;
  AudioTimeStamp ts;
  std::memset(&ts, 0, sizeof ts);
  const OSStatus err = AudioUnitRender(u, &flags, &ts, 0, frames, list);
  if (status) *status = err;
  return err == noErr && !(flags & kAudioUnitRenderAction_OutputIsSilence);
}

// Renders one utterance: waits (in wall time) for the first audio, then
// collects until nothing new has arrived for a while. Rendering runs faster
// than real time, so it may catch up with the synthesis in between.
inline std::vector<float> renderUtterance(AudioUnit u, double maxSeconds = 30, double rate = 48000) {
  using Clock = std::chrono::steady_clock;
  std::vector<float> out, l, r;
  const size_t limit = size_t(maxSeconds * rate);
  Clock::time_point lastAudio = Clock::now();
  while (out.size() < limit) {
    if (renderBlock(u, l, r, 256)) {
      out.insert(out.end(), l.begin(), l.end());
      lastAudio = Clock::now();
    } else {
      if (Clock::now() - lastAudio > std::chrono::milliseconds(out.empty() ? 3000 : 400)) break;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
  return out;
}

inline std::vector<float> speak(AudioUnit u, const std::string& text, double maxSeconds = 30) {
  setText(u, text);
  play(u);
  return renderUtterance(u, maxSeconds);
}

struct MidiAt {
  size_t frame;  // from the start of the rendering
  UInt32 status, data1, data2;
};

// Renders `seconds` in 256-frame blocks, each MIDI message sent before the
// block it falls in with its offset there, as a host does. Between blocks it
// waits `period` of wall time, and after a block with messages long enough
// for the worker to have answered: the sound's timing is then the unit's own,
// not this machine's load (the benchmark measures real time).
inline std::vector<float> renderWithMidi(AudioUnit u, double seconds, const std::vector<MidiAt>& events,
                                         std::chrono::microseconds period = std::chrono::microseconds(300)) {
  const UInt32 block = 256;
  std::vector<float> out, l, r;
  const size_t total = size_t(seconds * 48000);
  size_t next = 0;
  while (out.size() < total) {
    const size_t start = out.size();
    bool sent = false, noteOn = false;
    while (next < events.size() && events[next].frame < start + block) {
      const MidiAt& e = events[next++];
      MusicDeviceMIDIEvent(u, e.status, e.data1, e.data2, UInt32(e.frame > start ? e.frame - start : 0));
      sent = true;
      noteOn |= (e.status & 0xF0) == 0x90 && e.data2 > 0 && e.data1 < 0x80 && e.data2 < 0x80;
    }
    renderBlock(u, l, r, block);
    out.insert(out.end(), l.begin(), l.end());
    if (noteOn) {
      // The worker has taken the request once the unit says it speaks; then
      // its first sound follows within a few milliseconds.
      UInt32 speaking = 0;
      for (int i = 0; i < 400 && !speaking; ++i) {
        UInt32 size = sizeof speaking;
        AudioUnitGetProperty(u, kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &speaking, &size);
        if (!speaking) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    std::this_thread::sleep_for(sent ? std::chrono::microseconds(40000) : period);
  }
  return out;
}

// Speaks the text in a steady stream of blocks, gaps kept where they fall
// (speak() leaves out the blocks the engine had not filled yet).
inline std::vector<float> speakSteadily(AudioUnit u, const std::string& text, double seconds) {
  setText(u, text);
  play(u);
  return renderWithMidi(u, seconds, {{0, 0xFE, 0, 0}});  // active sensing: ignored, but waits for the worker
}

// Runs the current thread's run loop until `done` or about two seconds pass.
template <typename Pred>
bool runUntil(Pred done) {
  for (int i = 0; i < 200 && !done(); ++i) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false);
  return done();
}

}  // namespace harness
