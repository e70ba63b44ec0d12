#include "unithost.h"

#include "GlimmContract.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits.h>

std::string defaultUnitModulePath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kGlimmSpeechUnitFileName;
  self[n] = '\0';
  std::string dir(self);
  dir.erase(dir.find_last_of('/') + 1);
  const std::string beside = dir + kGlimmSpeechUnitFileName;
#ifdef GLIMM_UNIT_RELDIR
  // Installed, the unit lives in the private library folder. With neither
  // there, the path beside the host is the one an error should name.
  const std::string installed = dir + GLIMM_UNIT_RELDIR "/" + kGlimmSpeechUnitFileName;
  if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
#endif
  return beside;
}

UnitHost::~UnitHost() {
  if (m_unit) {
    // Going away either way: nothing to do with a failure.
    (void)AudioUnitUninitialize(m_unit);
    (void)AudioComponentInstanceDispose(m_unit);
  }
  // The module stays loaded: its registration and its speech worker live
  // for the process, and a late callback into unloaded code would crash.
}

bool UnitHost::load(const std::string& modulePath, double sampleRate, unsigned maxFrames, std::string* error) {
  if (access(modulePath.c_str(), R_OK) != 0) {
    *error = "cannot read the unit module " + modulePath + ": " + std::strerror(errno);
    return false;
  }
  m_module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_module) {
    const char* why = dlerror();
    *error = "cannot load the unit module " + modulePath + ": " + (why ? why : "unknown error");
    return false;
  }
  AudioComponentDescription desc = {};
  desc.componentType = kAudioUnitType_MusicDevice;
  AudioComponent comp = AudioComponentFindNext(nullptr, &desc);
  if (!comp) {
    *error = "the module " + modulePath + " registered no music device component";
    return false;
  }
  OSStatus err = AudioComponentInstanceNew(comp, &m_unit);
  if (err != noErr || !m_unit) {
    m_unit = nullptr;
    *error = "the unit in " + modulePath + " could not be instantiated (status " + std::to_string(err) + ")";
    return false;
  }
  AudioStreamBasicDescription fmt = {};
  fmt.mSampleRate = sampleRate;
  fmt.mFormatID = kAudioFormatLinearPCM;
  fmt.mFormatFlags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
  fmt.mBytesPerPacket = fmt.mBytesPerFrame = sizeof(float);
  fmt.mFramesPerPacket = 1;
  fmt.mChannelsPerFrame = 2;
  fmt.mBitsPerChannel = 32;
  err = AudioUnitSetProperty(m_unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &fmt, sizeof fmt);
  if (err == noErr)
    err = AudioUnitSetProperty(m_unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &maxFrames,
                               sizeof maxFrames);
  if (err == noErr) err = AudioUnitInitialize(m_unit);
  if (err != noErr) {
    *error = "the unit in " + modulePath + " refused a " + std::to_string(int(sampleRate)) +
             " Hz stereo float stream (status " + std::to_string(err) + ")";
    return false;
  }
  m_sampleRate = sampleRate;
  return true;
}

OSStatus UnitHost::setText(const std::string& utf8) {
  char buffer[kGlimmTextBufferSize] = {};
  std::memcpy(buffer, utf8.data(), std::min<size_t>(utf8.size(), kGlimmTextMaxBytes));
  return AudioUnitSetProperty(m_unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buffer, sizeof buffer);
}

OSStatus UnitHost::setParameter(AudioUnitParameterID id, float value) {
  AudioUnitParameter p = {m_unit, id, kAudioUnitScope_Global, 0};
  return AUParameterSet(nullptr, nullptr, &p, value, 0);
}

OSStatus UnitHost::getParameter(AudioUnitParameterID id, float* value) const {
  return AudioUnitGetParameter(m_unit, id, kAudioUnitScope_Global, 0, value);
}

OSStatus UnitHost::play() {
  char data[kGlimmPlayDataSize] = {};
  return AudioUnitSetProperty(m_unit, kGlimmProperty_Play, kAudioUnitScope_Global, 0, data, sizeof data);
}

OSStatus UnitHost::setVoice(const std::string& name) {
  char buffer[kGlimmVoiceBufferSize] = {};
  if (name.size() > kGlimmVoiceMaxBytes) return kAudioUnitErr_InvalidPropertyValue;
  std::memcpy(buffer, name.data(), name.size());
  return AudioUnitSetProperty(m_unit, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, buffer, sizeof buffer);
}

OSStatus readFixedStringProperty(AudioUnit unit, AudioUnitPropertyID id, size_t bufferSize, size_t maxBytes,
                                 std::string* value) {
  std::string buffer(bufferSize, '\0');
  UInt32 size = UInt32(bufferSize);
  const OSStatus err = AudioUnitGetProperty(unit, id, kAudioUnitScope_Global, 0, buffer.data(), &size);
  if (err == noErr) *value = std::string(buffer.c_str(), strnlen(buffer.c_str(), std::min<size_t>(size, maxBytes)));
  return err;
}

OSStatus UnitHost::voice(std::string* name) const {
  return readFixedStringProperty(m_unit, kGlimmProperty_Voice, kGlimmVoiceBufferSize, kGlimmVoiceMaxBytes, name);
}

OSStatus UnitHost::voiceList(std::string* lines) const {
  UInt32 size = 0;
  OSStatus err = AudioUnitGetPropertyInfo(m_unit, kGlimmProperty_VoiceList, kAudioUnitScope_Global, 0, &size, nullptr);
  if (err != noErr) return err;
  std::string buffer(size, '\0');
  err = AudioUnitGetProperty(m_unit, kGlimmProperty_VoiceList, kAudioUnitScope_Global, 0, buffer.data(), &size);
  if (err == noErr) *lines = std::string(buffer.c_str(), strnlen(buffer.c_str(), size));
  return err;
}

OSStatus UnitHost::text(std::string* utf8) const {
  return readFixedStringProperty(m_unit, kGlimmProperty_Text, kGlimmTextBufferSize, kGlimmTextMaxBytes, utf8);
}

OSStatus UnitHost::speaking(bool* speaking) const {
  UInt32 value = 0, size = sizeof value;
  const OSStatus err = AudioUnitGetProperty(m_unit, kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &value, &size);
  if (err == noErr) *speaking = value != 0;
  return err;
}

OSStatus renderStereo(AudioUnit unit, double sampleTime, UInt32 frames, float* left, float* right, AudioBufferList* abl,
                      AudioUnitRenderActionFlags* flags) {
  abl->mNumberBuffers = 2;
  abl->mBuffers[0] = {1, frames * UInt32(sizeof(float)), left};
  abl->mBuffers[1] = {1, frames * UInt32(sizeof(float)), right};
  AudioTimeStamp ts = {};
  ts.mSampleTime = sampleTime;
  ts.mFlags = kAudioTimeStampSampleTimeValid;
  *flags = 0;
  return AudioUnitRender(unit, flags, &ts, 0, frames, abl);
}
