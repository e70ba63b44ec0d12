// Loads a unit module and holds one initialised instance of its component.
#pragma once

#include <AudioToolbox/AudioToolbox.h>

#include <string>

class UnitHost {
 public:
  UnitHost() = default;
  ~UnitHost();
  UnitHost(const UnitHost&) = delete;
  UnitHost& operator=(const UnitHost&) = delete;

  // Loads the module, finds its music device and makes an initialised,
  // stereo float instance at `sampleRate`; false with `error` naming what
  // failed and where.
  bool load(const std::string& modulePath, double sampleRate, unsigned maxFrames, std::string* error);

  AudioUnit unit() const { return m_unit; }
  double sampleRate() const { return m_sampleRate; }

  OSStatus setText(const std::string& utf8);
  // Sets a parameter as host automation does: the value, then the change announced.
  OSStatus setParameter(AudioUnitParameterID id, float value);
  OSStatus getParameter(AudioUnitParameterID id, float* value) const;
  OSStatus play();
  // The espeak-ng voice, by any name the unit knows it by; the unit keeps its short name.
  OSStatus setVoice(const std::string& name);
  OSStatus voice(std::string* name) const;
  // The installed voices: "name<TAB>languages<TAB>description" lines.
  OSStatus voiceList(std::string* lines) const;
  OSStatus text(std::string* utf8) const;
  // Whether the unit is still busy with an utterance: from play() until the
  // last of it has been rendered.
  OSStatus speaking(bool* speaking) const;

 private:
  void* m_module = nullptr;
  AudioUnit m_unit = nullptr;
  double m_sampleRate = 0;
};

// A string property the unit hands out in a fixed buffer of `bufferSize`
// bytes: up to its first NUL, at most `maxBytes`.
OSStatus readFixedStringProperty(AudioUnit unit, AudioUnitPropertyID id, size_t bufferSize, size_t maxBytes,
                                 std::string* value);

// Renders `frames` stereo frames at sampleTime into left and right through
// `abl` (room for two buffers), the unit's render flags into `flags`. The
// thread that renders: the audio thread, or the main thread offline.
OSStatus renderStereo(AudioUnit unit, double sampleTime, UInt32 frames, float* left, float* right, AudioBufferList* abl,
                      AudioUnitRenderActionFlags* flags);

// The speech unit module beside the running executable, or where it is
// installed relative to it.
std::string defaultUnitModulePath();
