// The speech unit: an Audio Unit music device that speaks its text property
// with the engine's shared synthesis worker. Loading the module registers the
// component; unloading it withdraws the registration.
#include "SpeechEngine.h"
#include "SpeechText.h"

#include "AUGlimm3_Interface.h"

#include <AudioToolbox/AudioUnitUtilities.h>
#include <AudioUnit/AudioUnitProperties.h>
#include <AudioUnit/MusicDevice.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <vector>

namespace {

constexpr OSType kSubType = 0x676c6d33;      // 'glm3'
constexpr OSType kManufacturer = 0x476c6d6d; // 'Glmm'
constexpr UInt32 kVersion = 0x00010000;
constexpr UInt32 kDefaultMaxFrames = 4096;
constexpr UInt32 kMaxFramesLimit = 1 << 16;

struct ParamDesc {
  const char* name;
  float min, max, def;
  AudioUnitParameterUnit unit;
};

const ParamDesc kParams[kGlimmParamCount] = {
    {"pitch", 0, 255, 128, kAudioUnitParameterUnit_Generic},
    {"speed", 20, 200, 100, kAudioUnitParameterUnit_Generic},
    {"mouth", 0, 255, 128, kAudioUnitParameterUnit_Generic},
    {"throat", 0, 255, 128, kAudioUnitParameterUnit_Generic},
    {"sing mode", 0, 1, 0, kAudioUnitParameterUnit_Boolean},
};

// Deferred work bits: one per parameter to announce, plus a sung note to start.
constexpr uint32_t kDeferredNote = 1u << 16;

void moduleAnchor() {}

// Constant strings: the caller of ParameterInfo has nothing to release.
CFStringRef parameterName(UInt32 id)
{
  switch (id) {
  case kGlimmParam_Pitch:
    return CFSTR("pitch");
  case kGlimmParam_Speed:
    return CFSTR("speed");
  case kGlimmParam_Mouth:
    return CFSTR("mouth");
  case kGlimmParam_Throat:
    return CFSTR("throat");
  case kGlimmParam_SingMode:
    return CFSTR("sing mode");
  }
  return nullptr;
}

class SpeechUnit final : public SpeechVoiceClient {
public:
  explicit SpeechUnit(AudioComponentInstance instance) : m_instance(instance)
  {
    for (int i = 0; i < kGlimmParamCount; ++i)
      m_params[i].store(kParams[i].def);
    std::memset(m_text, 0, sizeof m_text);
  }

  ~SpeechUnit() { teardownVoice(); }

  // ---- parameters -------------------------------------------------------

  OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                        AudioUnitParameterValue* out)
  {
    if (OSStatus err = checkParameterAddress(id, scope, elem))
      return err;
    if (!out)
      return kAudio_ParamError;
    *out = m_params[id].load();
    return noErr;
  }

  // Finite values outside a range are clamped to it, as a host's automation
  // curve may overshoot; NaN and infinities carry no value and are refused.
  OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                        AudioUnitParameterValue value)
  {
    if (OSStatus err = checkParameterAddress(id, scope, elem))
      return err;
    if (!std::isfinite(value))
      return kAudioUnitErr_InvalidParameterValue;
    const float v = std::clamp(value, kParams[id].min, kParams[id].max);
    if (m_params[id].exchange(v) == v)
      return noErr;
    announceParameter(id);
    return noErr;
  }

  // ---- properties -------------------------------------------------------

  OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, UInt32* outSize,
                           Boolean* outWritable)
  {
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus err = describeProperty(id, scope, elem, size, writable);
    if (err)
      return err;
    if (outSize)
      *outSize = size;
    if (outWritable)
      *outWritable = writable;
    return noErr;
  }

  OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, void* out,
                       UInt32* ioSize)
  {
    if (!ioSize)
      return kAudio_ParamError;
    UInt32 size = 0;
    Boolean writable = false;
    if (OSStatus err = describeProperty(id, scope, elem, size, writable))
      return err;
    if (id == kGlimmProperty_Play)
      return kAudioUnitErr_InvalidProperty; // set only
    if (!out) {
      *ioSize = size;
      return noErr;
    }
    if (*ioSize < size)
      return kAudio_ParamError;
    *ioSize = size;
    switch (id) {
    case kGlimmProperty_Text: {
      std::lock_guard<std::mutex> lock(m_textMutex);
      std::memcpy(out, m_text, kGlimmTextBufferSize);
      return noErr;
    }
    case kAudioUnitProperty_ParameterList: {
      auto* ids = static_cast<AudioUnitParameterID*>(out);
      for (UInt32 i = 0; i < size / sizeof(AudioUnitParameterID); ++i)
        ids[i] = i;
      return noErr;
    }
    case kAudioUnitProperty_ParameterInfo: {
      AudioUnitParameterInfo info;
      std::memset(&info, 0, sizeof info);
      const ParamDesc& p = kParams[elem];
      std::strncpy(info.name, p.name, sizeof info.name - 1);
      info.cfNameString = parameterName(elem);
      info.unit = p.unit;
      info.minValue = p.min;
      info.maxValue = p.max;
      info.defaultValue = p.def;
      info.flags = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable |
                   (info.cfNameString ? UInt32(kAudioUnitParameterFlag_HasCFNameString) : 0u);
      std::memcpy(out, &info, sizeof info);
      return noErr;
    }
    case kAudioUnitProperty_StreamFormat: {
      const AudioStreamBasicDescription f = format();
      std::memcpy(out, &f, sizeof f);
      return noErr;
    }
    case kAudioUnitProperty_SampleRate: {
      const Float64 rate = m_rate;
      std::memcpy(out, &rate, sizeof rate);
      return noErr;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice:
      std::memcpy(out, &m_maxFrames, sizeof m_maxFrames);
      return noErr;
    case kAudioUnitProperty_ElementCount: {
      const UInt32 count = scope == kAudioUnitScope_Input ? 0 : 1;
      std::memcpy(out, &count, sizeof count);
      return noErr;
    }
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_TailTime: {
      const Float64 zero = 0;
      std::memcpy(out, &zero, sizeof zero);
      return noErr;
    }
    case kAudioUnitProperty_CocoaUI:
      return cocoaViewInfo(static_cast<AudioUnitCocoaViewInfo*>(out));
    }
    return kAudioUnitErr_InvalidProperty;
  }

  OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, const void* data,
                       UInt32 size)
  {
    UInt32 expected = 0;
    Boolean writable = false;
    if (OSStatus err = describeProperty(id, scope, elem, expected, writable))
      return err;
    if (!writable)
      return kAudioUnitErr_PropertyNotWritable;
    if (!data)
      return kAudio_ParamError;
    if (size != expected)
      return kAudioUnitErr_InvalidPropertyValue;
    switch (id) {
    case kGlimmProperty_Text: {
      const auto* bytes = static_cast<const char*>(data);
      {
        std::lock_guard<std::mutex> lock(m_textMutex);
        const size_t n = strnlen(bytes, kGlimmTextMaxBytes);
        std::memset(m_text, 0, sizeof m_text);
        std::memcpy(m_text, bytes, n);
      }
      // Also on an unchanged text: a view waits for the echo of its own set.
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kGlimmProperty_Play:
      if (!m_voice)
        return kAudioUnitErr_Uninitialized;
      speak(-1);
      return noErr;
    case kAudioUnitProperty_StreamFormat: {
      AudioStreamBasicDescription f;
      std::memcpy(&f, data, sizeof f);
      if (OSStatus err = acceptFormat(f))
        return err;
      m_rate = f.mSampleRate;
      m_channels = f.mChannelsPerFrame;
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kAudioUnitProperty_SampleRate: {
      Float64 rate;
      std::memcpy(&rate, data, sizeof rate);
      AudioStreamBasicDescription f = format();
      f.mSampleRate = rate;
      if (OSStatus err = acceptFormat(f))
        return err;
      m_rate = rate;
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: {
      UInt32 frames;
      std::memcpy(&frames, data, sizeof frames);
      if (m_voice)
        return kAudioUnitErr_Initialized;
      if (frames == 0 || frames > kMaxFramesLimit)
        return kAudioUnitErr_InvalidPropertyValue;
      m_maxFrames = frames;
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    }
    return kAudioUnitErr_PropertyNotWritable;
  }

  OSStatus addPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData)
  {
    if (!proc)
      return kAudio_ParamError;
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    m_listeners.push_back({id, proc, userData});
    return noErr;
  }

  OSStatus removePropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, bool matchUserData,
                                  void* userData)
  {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    m_listeners.erase(std::remove_if(m_listeners.begin(), m_listeners.end(),
                                     [&](const Listener& l) {
                                       return l.id == id && l.proc == proc && (!matchUserData || l.userData == userData);
                                     }),
                      m_listeners.end());
    return noErr;
  }

  // ---- lifecycle and rendering -------------------------------------------

  OSStatus initialize()
  {
    if (m_voice)
      return noErr;
    m_scratch.assign(size_t(m_channels) * m_maxFrames, 0.0f);
    m_voice = SpeechVoice::create(m_rate, this);
    return m_voice ? OSStatus(noErr) : OSStatus(kAudioUnitErr_FailedInitialization);
  }

  OSStatus uninitialize()
  {
    teardownVoice();
    return noErr;
  }

  OSStatus reset(AudioUnitScope, AudioUnitElement)
  {
    if (m_voice)
      m_voice->stop();
    return noErr;
  }

  OSStatus render(AudioUnitRenderActionFlags* flags, UInt32 bus, UInt32 frames, AudioBufferList* io)
  {
    SpeechVoice* voice = m_voice.get();
    if (!voice)
      return kAudioUnitErr_Uninitialized;
    m_renderThread.store(pthread_self(), std::memory_order_relaxed);
    m_hasRenderThread.store(true, std::memory_order_release);
    if (bus != 0)
      return kAudioUnitErr_InvalidElement;
    if (frames > m_maxFrames)
      return kAudioUnitErr_TooManyFramesToProcess;
    if (!io || io->mNumberBuffers != m_channels)
      return kAudio_ParamError;
    const UInt32 bytes = frames * UInt32(sizeof(float));
    for (UInt32 c = 0; c < m_channels; ++c) {
      AudioBuffer& b = io->mBuffers[c];
      if (b.mNumberChannels > 1 || (b.mData && b.mDataByteSize < bytes))
        return kAudio_ParamError;
    }
    for (UInt32 c = 0; c < m_channels; ++c) {
      AudioBuffer& b = io->mBuffers[c];
      if (!b.mData)
        b.mData = m_scratch.data() + size_t(c) * m_maxFrames;
      b.mDataByteSize = bytes;
      b.mNumberChannels = 1;
    }
    auto* first = static_cast<float*>(io->mBuffers[0].mData);
    const size_t got = voice->render(first, frames);
    std::fill(first + got, first + frames, 0.0f);
    for (UInt32 c = 1; c < m_channels; ++c)
      std::memcpy(io->mBuffers[c].mData, first, bytes);
    if (flags) {
      if (got == 0)
        *flags |= kAudioUnitRenderAction_OutputIsSilence;
      else
        *flags &= ~UInt32(kAudioUnitRenderAction_OutputIsSilence);
    }
    return noErr;
  }

  // A note-on in sing mode sets the pitch and sings the text on that note.
  // Hosts send MIDI from their audio thread, so the work happens on the worker.
  OSStatus midiEvent(UInt32 status, UInt32 data1, UInt32 data2)
  {
    if ((status & 0xF0) != 0x90 || (data2 & 0x7F) == 0)
      return noErr;
    if (m_params[kGlimmParam_SingMode].load() < 0.5f)
      return noErr;
    SpeechVoice* voice = m_voice.get();
    if (!voice)
      return kAudioUnitErr_Uninitialized;
    m_pendingNote.store(int(data1 & 0x7F));
    voice->postDeferred(kDeferredNote);
    return noErr;
  }

  // Runs on the engine's worker thread.
  void serviceDeferred(uint32_t flags) override
  {
    for (int i = 0; i < kGlimmParamCount; ++i)
      if (flags & (1u << i))
        notifyParameter(AudioUnitParameterID(i));
    if (flags & kDeferredNote) {
      const int note = m_pendingNote.exchange(-1);
      if (note >= 0) {
        const float pitch = float(note * 2);
        if (m_params[kGlimmParam_Pitch].exchange(pitch) != pitch)
          notifyParameter(kGlimmParam_Pitch);
        speak(note);
      }
    }
  }

private:
  struct Listener {
    AudioUnitPropertyID id;
    AudioUnitPropertyListenerProc proc;
    void* userData;
  };

  static OSStatus checkParameterAddress(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem)
  {
    if (scope != kAudioUnitScope_Global)
      return kAudioUnitErr_InvalidScope;
    if (id >= kGlimmParamCount)
      return kAudioUnitErr_InvalidParameter;
    if (elem != 0)
      return kAudioUnitErr_InvalidElement;
    return noErr;
  }

  OSStatus describeProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, UInt32& size,
                            Boolean& writable)
  {
    auto global = [&]() -> OSStatus {
      if (scope != kAudioUnitScope_Global)
        return kAudioUnitErr_InvalidScope;
      return elem == 0 ? OSStatus(noErr) : OSStatus(kAudioUnitErr_InvalidElement);
    };
    auto output = [&]() -> OSStatus {
      if (scope != kAudioUnitScope_Output)
        return kAudioUnitErr_InvalidScope;
      return elem == 0 ? OSStatus(noErr) : OSStatus(kAudioUnitErr_InvalidElement);
    };
    OSStatus err = noErr;
    switch (id) {
    case kGlimmProperty_Text:
      size = kGlimmTextBufferSize, writable = true, err = global();
      break;
    case kGlimmProperty_Play:
      size = kGlimmPlayDataSize, writable = true, err = global();
      break;
    case kAudioUnitProperty_ParameterList:
      // Only the global scope has parameters; the other scopes list none.
      size = scope == kAudioUnitScope_Global ? kGlimmParamCount * sizeof(AudioUnitParameterID) : 0;
      break;
    case kAudioUnitProperty_ParameterInfo:
      size = sizeof(AudioUnitParameterInfo);
      if (scope != kAudioUnitScope_Global)
        err = kAudioUnitErr_InvalidScope;
      else if (elem >= kGlimmParamCount)
        err = kAudioUnitErr_InvalidParameter;
      break;
    case kAudioUnitProperty_StreamFormat:
      size = sizeof(AudioStreamBasicDescription), writable = true, err = output();
      break;
    case kAudioUnitProperty_SampleRate:
      size = sizeof(Float64), writable = true, err = output();
      break;
    case kAudioUnitProperty_MaximumFramesPerSlice:
      size = sizeof(UInt32), writable = true, err = global();
      break;
    case kAudioUnitProperty_ElementCount:
      size = sizeof(UInt32);
      break;
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_TailTime:
      size = sizeof(Float64), err = global();
      break;
    case kAudioUnitProperty_CocoaUI:
      size = sizeof(AudioUnitCocoaViewInfo), err = global();
      break;
    default:
      return kAudioUnitErr_InvalidProperty;
    }
    return err;
  }

  AudioStreamBasicDescription format() const
  {
    AudioStreamBasicDescription f;
    std::memset(&f, 0, sizeof f);
    f.mSampleRate = m_rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
    f.mBytesPerPacket = sizeof(float);
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = sizeof(float);
    f.mChannelsPerFrame = m_channels;
    f.mBitsPerChannel = 32;
    return f;
  }

  OSStatus acceptFormat(const AudioStreamBasicDescription& f) const
  {
    const UInt32 needed = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
    if (f.mFormatID != kAudioFormatLinearPCM || (f.mFormatFlags & needed) != needed ||
        (f.mFormatFlags & kAudioFormatFlagIsBigEndian) || f.mBitsPerChannel != 32 ||
        f.mBytesPerFrame != sizeof(float) || f.mFramesPerPacket != 1 ||
        (f.mChannelsPerFrame != 1 && f.mChannelsPerFrame != 2) || !(f.mSampleRate >= 8000.0) ||
        !(f.mSampleRate <= 384000.0))
      return kAudioUnitErr_FormatNotSupported;
    return m_voice ? OSStatus(kAudioUnitErr_Initialized) : OSStatus(noErr);
  }

  OSStatus cocoaViewInfo(AudioUnitCocoaViewInfo* out) const
  {
    // The editor bundle lies beside this module, wherever both were installed.
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&moduleAnchor), &info) || !info.dli_fname)
      return kAudioUnitErr_InvalidProperty;
    char resolved[PATH_MAX];
    std::string path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    const size_t slash = path.rfind('/');
    path = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/AUGlimm3CocoaUI.so";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                           CFIndex(path.size()), false);
    CFStringRef cls = CFStringCreateWithCString(nullptr, "AUGlimm3_ViewFactory", kCFStringEncodingUTF8);
    if (!url || !cls) {
      if (url)
        CFRelease(url);
      if (cls)
        CFRelease(cls);
      return kAudio_MemFullError;
    }
    out->mCocoaAUViewBundleLocation = url;
    out->mCocoaAUViewClass[0] = cls;
    return noErr;
  }

  void callPropertyListeners(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem)
  {
    std::vector<Listener> targets;
    {
      std::lock_guard<std::mutex> lock(m_listenerMutex);
      for (const Listener& l : m_listeners)
        if (l.id == id)
          targets.push_back(l);
    }
    // Outside the lock: a listener may add or remove listeners.
    for (const Listener& l : targets)
      l.proc(l.userData, AudioUnit(m_instance), id, scope, elem);
  }

  bool onRenderThread() const
  {
    return m_hasRenderThread.load(std::memory_order_acquire) &&
           pthread_equal(m_renderThread.load(std::memory_order_relaxed), pthread_self());
  }

  void announceParameter(AudioUnitParameterID id)
  {
    // Listener delivery takes locks and allocates, which the audio thread must
    // not; the worker announces on its behalf.
    if (onRenderThread() && m_voice)
      m_voice->postDeferred(1u << id);
    else
      notifyParameter(id);
  }

  void notifyParameter(AudioUnitParameterID id)
  {
    AudioUnitParameter p;
    p.mAudioUnit = AudioUnit(m_instance);
    p.mParameterID = id;
    p.mScope = kAudioUnitScope_Global;
    p.mElement = 0;
    AUParameterListenerNotify(nullptr, nullptr, &p);
  }

  void speak(int note)
  {
    std::string text;
    {
      std::lock_guard<std::mutex> lock(m_textMutex);
      text = glimmPrepareSpeechText(m_text, kGlimmTextMaxBytes);
    }
    SpeechSettings s;
    s.pitch = m_params[kGlimmParam_Pitch].load();
    s.speed = m_params[kGlimmParam_Speed].load();
    s.mouth = m_params[kGlimmParam_Mouth].load();
    s.throat = m_params[kGlimmParam_Throat].load();
    s.sing = m_params[kGlimmParam_SingMode].load() >= 0.5f;
    s.singNote = note >= 0 ? double(note) : glimmspeech::noteForPitch(s.pitch);
    if (m_voice)
      m_voice->speak(std::move(text), s);
  }

  void teardownVoice()
  {
    if (m_voice) {
      m_voice->detach();
      m_voice.reset();
    }
  }

  AudioComponentInstance m_instance;
  std::atomic<float> m_params[kGlimmParamCount];
  std::mutex m_textMutex;
  char m_text[kGlimmTextBufferSize];
  std::mutex m_listenerMutex;
  std::vector<Listener> m_listeners;
  Float64 m_rate = 44100;
  UInt32 m_channels = 2;
  UInt32 m_maxFrames = kDefaultMaxFrames;
  std::vector<float> m_scratch;
  std::shared_ptr<SpeechVoice> m_voice;
  std::atomic<pthread_t> m_renderThread{};
  std::atomic<bool> m_hasRenderThread{false};
  std::atomic<int> m_pendingNote{-1};
};

// ---- plug-in interface ------------------------------------------------------

struct PlugIn {
  AudioComponentPlugInInterface iface;
  SpeechUnit* unit;
};

SpeechUnit* unitOf(void* self)
{
  return self ? reinterpret_cast<PlugIn*>(self)->unit : nullptr;
}

// No exception may cross into the host.
template <typename F>
OSStatus guarded(void* self, F&& f)
{
  SpeechUnit* u = unitOf(self);
  if (!u)
    return badComponentInstance;
  try {
    return f(*u);
  } catch (const std::bad_alloc&) {
    return kAudio_MemFullError;
  } catch (...) {
    return kAudio_ParamError;
  }
}

OSStatus Open(void* self, AudioComponentInstance instance)
{
  if (!self)
    return badComponentInstance;
  auto* p = reinterpret_cast<PlugIn*>(self);
  try {
    p->unit = new SpeechUnit(instance);
    return noErr;
  } catch (...) {
    return kAudio_MemFullError;
  }
}

OSStatus Close(void* self)
{
  auto* p = reinterpret_cast<PlugIn*>(self);
  if (!p)
    return badComponentInstance;
  delete p->unit;
  delete p;
  return noErr;
}

OSStatus Initialize(void* self)
{
  return guarded(self, [](SpeechUnit& u) { return u.initialize(); });
}
OSStatus Uninitialize(void* self)
{
  return guarded(self, [](SpeechUnit& u) { return u.uninitialize(); });
}
OSStatus GetPropertyInfo(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem,
                         UInt32* size, Boolean* writable)
{
  return guarded(self, [&](SpeechUnit& u) { return u.getPropertyInfo(id, scope, elem, size, writable); });
}
OSStatus GetProperty(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, void* data,
                     UInt32* size)
{
  return guarded(self, [&](SpeechUnit& u) { return u.getProperty(id, scope, elem, data, size); });
}
OSStatus SetProperty(void* self, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem,
                     const void* data, UInt32 size)
{
  return guarded(self, [&](SpeechUnit& u) { return u.setProperty(id, scope, elem, data, size); });
}
OSStatus AddPropertyListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* user)
{
  return guarded(self, [&](SpeechUnit& u) { return u.addPropertyListener(id, proc, user); });
}
OSStatus RemovePropertyListener(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc)
{
  return guarded(self, [&](SpeechUnit& u) { return u.removePropertyListener(id, proc, false, nullptr); });
}
OSStatus RemovePropertyListenerWithUserData(void* self, AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                            void* user)
{
  return guarded(self, [&](SpeechUnit& u) { return u.removePropertyListener(id, proc, true, user); });
}
OSStatus GetParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                      AudioUnitParameterValue* value)
{
  return guarded(self, [&](SpeechUnit& u) { return u.getParameter(id, scope, elem, value); });
}
OSStatus SetParameter(void* self, AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                      AudioUnitParameterValue value, UInt32)
{
  return guarded(self, [&](SpeechUnit& u) { return u.setParameter(id, scope, elem, value); });
}
OSStatus Render(void* self, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*, UInt32 bus, UInt32 frames,
                AudioBufferList* io)
{
  SpeechUnit* u = unitOf(self);
  return u ? u->render(flags, bus, frames, io) : badComponentInstance;
}
OSStatus Reset(void* self, AudioUnitScope scope, AudioUnitElement elem)
{
  return guarded(self, [&](SpeechUnit& u) { return u.reset(scope, elem); });
}
OSStatus MIDIEvent(void* self, UInt32 status, UInt32 data1, UInt32 data2, UInt32)
{
  SpeechUnit* u = unitOf(self);
  return u ? u->midiEvent(status, data1, data2) : badComponentInstance;
}

template <typename Fn>
AudioComponentMethod method(Fn fn)
{
  return reinterpret_cast<AudioComponentMethod>(fn);
}

AudioComponentMethod Lookup(SInt16 selector)
{
  switch (selector) {
  case kAudioUnitInitializeSelect:
    return method(&Initialize);
  case kAudioUnitUninitializeSelect:
    return method(&Uninitialize);
  case kAudioUnitGetPropertyInfoSelect:
    return method(&GetPropertyInfo);
  case kAudioUnitGetPropertySelect:
    return method(&GetProperty);
  case kAudioUnitSetPropertySelect:
    return method(&SetProperty);
  case kAudioUnitGetParameterSelect:
    return method(&GetParameter);
  case kAudioUnitSetParameterSelect:
    return method(&SetParameter);
  case kAudioUnitResetSelect:
    return method(&Reset);
  case kAudioUnitAddPropertyListenerSelect:
    return method(&AddPropertyListener);
  case kAudioUnitRemovePropertyListenerSelect:
    return method(&RemovePropertyListener);
  case kAudioUnitRemovePropertyListenerWithUserDataSelect:
    return method(&RemovePropertyListenerWithUserData);
  case kAudioUnitRenderSelect:
    return method(&Render);
  case kMusicDeviceMIDIEventSelect:
    return method(&MIDIEvent);
  }
  return nullptr;
}

AudioComponentPlugInInterface* Factory(const AudioComponentDescription*)
{
  auto* p = new (std::nothrow) PlugIn;
  if (!p)
    return nullptr;
  p->iface.Open = &Open;
  p->iface.Close = &Close;
  p->iface.Lookup = &Lookup;
  p->iface.reserved = nullptr;
  p->unit = nullptr;
  return &p->iface;
}

struct Registration {
  AudioComponent component = nullptr;
  Registration()
  {
    AudioComponentDescription desc;
    desc.componentType = kAudioUnitType_MusicDevice;
    desc.componentSubType = kSubType;
    desc.componentManufacturer = kManufacturer;
    desc.componentFlags = 0;
    desc.componentFlagsMask = 0;
    component = AudioComponentRegister(&desc, CFSTR("Glimm: Speech"), kVersion, &Factory);
  }
  ~Registration()
  {
    if (component)
      GlimmAudioComponentUnregister(component);
  }
} g_registration;

} // namespace
