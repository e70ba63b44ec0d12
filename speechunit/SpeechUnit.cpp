// The speech unit shim: the Audio Unit property table and render call over
// the voice controller, which holds the voice's parameters, text and notes.
#include "SpeechUnit.h"

#include <AudioToolbox/AudioUnitUtilities.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

constexpr UInt32 kDefaultMaxFrames = 4096;

// A property's UInt32 value; its size has been checked.
UInt32 uint32At(const void* data) {
  UInt32 v;
  std::memcpy(&v, data, sizeof v);
  return v;
}
constexpr UInt32 kMaxFramesLimit = 1 << 16;

// A constant string, as CFSTR makes: the caller of ParameterInfo has nothing
// to release.
CFStringRef parameterName(UInt32 id) { return __CFStringMakeConstantString(kGlimmParameters[id].name); }

AudioUnitParameterUnit auUnit(GlimmParameterUnit unit) {
  return unit == kGlimmUnit_Boolean ? kAudioUnitParameterUnit_Boolean : kAudioUnitParameterUnit_Generic;
}

OSStatus checkParameterAddress(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem) {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (id >= kGlimmParamCount) return kAudioUnitErr_InvalidParameter;
  if (elem != 0) return kAudioUnitErr_InvalidElement;
  return noErr;
}

}  // namespace

SpeechUnit::SpeechUnit(AudioComponentInstance instance)
    : m_instance(instance), m_voice(this), m_maxFrames(kDefaultMaxFrames) {}

SpeechUnit::~SpeechUnit() { m_voice.stop(); }

// ---- parameters -------------------------------------------------------------

OSStatus SpeechUnit::getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                                  AudioUnitParameterValue* out) {
  if (OSStatus err = checkParameterAddress(id, scope, elem)) return err;
  if (!out) return kAudio_ParamError;
  *out = m_voice.parameter(int(id));
  return noErr;
}

OSStatus SpeechUnit::setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement elem,
                                  AudioUnitParameterValue value) {
  if (OSStatus err = checkParameterAddress(id, scope, elem)) return err;
  return m_voice.setParameter(int(id), value) ? OSStatus(noErr) : OSStatus(kAudioUnitErr_InvalidParameterValue);
}

void SpeechUnit::parameterChanged(int index) {
  AudioUnitParameter p;
  p.mAudioUnit = AudioUnit(m_instance);
  p.mParameterID = AudioUnitParameterID(index);
  p.mScope = kAudioUnitScope_Global;
  p.mElement = 0;
  // Delivery failures are the listeners' to report; the value is set.
  (void)AUParameterListenerNotify(nullptr, nullptr, &p);
}

// ---- properties -------------------------------------------------------------

OSStatus SpeechUnit::getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem,
                                     UInt32* outSize, Boolean* outWritable) {
  UInt32 size = 0;
  Boolean writable = false;
  OSStatus err = describeProperty(id, scope, elem, size, writable);
  if (err) return err;
  if (outSize) *outSize = size;
  if (outWritable) *outWritable = writable;
  return noErr;
}

OSStatus SpeechUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, void* out,
                                 UInt32* ioSize) {
  if (!ioSize) return kAudio_ParamError;
  UInt32 size = 0;
  Boolean writable = false;
  if (OSStatus err = describeProperty(id, scope, elem, size, writable)) return err;
  if (id == kGlimmProperty_Play) return kAudioUnitErr_InvalidProperty;  // set only
  if (!out) {
    *ioSize = size;
    return noErr;
  }
  if (*ioSize < size) return kAudio_ParamError;
  *ioSize = size;
  switch (id) {
    case kGlimmProperty_Text: {
      m_voice.copyText(static_cast<char*>(out));
      return noErr;
    }
    case kGlimmProperty_Speaking:
      *static_cast<UInt32*>(out) = m_voice.speaking() ? 1 : 0;
      return noErr;
    case kGlimmProperty_Voice:
      m_voice.copyVoice(static_cast<char*>(out));
      return noErr;
    case kGlimmProperty_VoiceList: {
      // The size was given from the same list, which never changes once made.
      const std::string list = VoiceController::voiceList();
      auto* bytes = static_cast<char*>(out);
      std::memcpy(bytes, list.c_str(), std::min<size_t>(size, list.size() + 1));
      bytes[size - 1] = 0;
      return noErr;
    }
    case kAudioUnitProperty_ParameterList: {
      auto* ids = static_cast<AudioUnitParameterID*>(out);
      for (UInt32 i = 0; i < size / sizeof(AudioUnitParameterID); ++i) ids[i] = i;
      return noErr;
    }
    case kAudioUnitProperty_ParameterInfo: {
      AudioUnitParameterInfo info;
      std::memset(&info, 0, sizeof info);
      const GlimmParameterFacts& p = kGlimmParameters[elem];
      std::strncpy(info.name, p.name, sizeof info.name - 1);
      info.cfNameString = parameterName(elem);
      info.unit = auUnit(p.unit);
      info.minValue = p.minimum;
      info.maxValue = p.maximum;
      info.defaultValue = p.defaultValue;
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
    case kAudioUnitProperty_OfflineRender: {
      const UInt32 on = m_offline.load() ? 1 : 0;
      std::memcpy(out, &on, sizeof on);
      return noErr;
    }
  }
  return kAudioUnitErr_InvalidProperty;
}

OSStatus SpeechUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, const void* data,
                                 UInt32 size) {
  UInt32 expected = 0;
  Boolean writable = false;
  if (OSStatus err = describeProperty(id, scope, elem, expected, writable)) return err;
  if (!writable) return kAudioUnitErr_PropertyNotWritable;
  if (!data) return kAudio_ParamError;
  if (size != expected) return kAudioUnitErr_InvalidPropertyValue;
  switch (id) {
    case kGlimmProperty_Text: {
      m_voice.setText(static_cast<const char*>(data), size);
      // Also on an unchanged text: a view waits for the echo of its own set.
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kGlimmProperty_Play:
      return m_voice.play() ? OSStatus(noErr) : OSStatus(kAudioUnitErr_Uninitialized);
    case kGlimmProperty_Voice: {
      bool changed = false;
      if (!m_voice.setVoice(static_cast<const char*>(data), &changed)) return kAudioUnitErr_InvalidPropertyValue;
      if (changed) callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kAudioUnitProperty_StreamFormat: {
      AudioStreamBasicDescription f;
      std::memcpy(&f, data, sizeof f);
      if (OSStatus err = acceptFormat(f)) return err;
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
      if (OSStatus err = acceptFormat(f)) return err;
      m_rate = rate;
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: {
      const UInt32 frames = uint32At(data);
      if (m_voice.started()) return kAudioUnitErr_Initialized;
      if (frames == 0 || frames > kMaxFramesLimit) return kAudioUnitErr_InvalidPropertyValue;
      m_maxFrames = frames;
      callPropertyListeners(id, scope, elem);
      return noErr;
    }
    case kAudioUnitProperty_OfflineRender:
      m_offline.store(uint32At(data) != 0);
      return noErr;
  }
  return kAudioUnitErr_PropertyNotWritable;
}

OSStatus SpeechUnit::addPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData) {
  if (!proc) return kAudio_ParamError;
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listeners.push_back({id, proc, userData});
  return noErr;
}

OSStatus SpeechUnit::removePropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                            bool matchUserData, void* userData) {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listeners.erase(std::remove_if(m_listeners.begin(), m_listeners.end(),
                                   [&](const Listener& l) {
                                     return l.id == id && l.proc == proc && (!matchUserData || l.userData == userData);
                                   }),
                    m_listeners.end());
  return noErr;
}

// ---- lifecycle and rendering ------------------------------------------------

OSStatus SpeechUnit::initialize() {
  if (m_voice.started()) return noErr;
  m_scratch.assign(size_t(m_channels) * m_maxFrames, 0.0f);
  return m_voice.start(m_rate) ? OSStatus(noErr) : OSStatus(kAudioUnitErr_FailedInitialization);
}

OSStatus SpeechUnit::uninitialize() {
  m_voice.stop();
  return noErr;
}

OSStatus SpeechUnit::reset(AudioUnitScope, AudioUnitElement) {
  m_voice.silence();
  return noErr;
}

OSStatus SpeechUnit::render(AudioUnitRenderActionFlags* flags, UInt32 bus, UInt32 frames, AudioBufferList* io) {
  if (!m_voice.started()) return kAudioUnitErr_Uninitialized;
  m_voice.markRenderThread();
  if (bus != 0) return kAudioUnitErr_InvalidElement;
  if (frames > m_maxFrames) return kAudioUnitErr_TooManyFramesToProcess;
  if (!io || io->mNumberBuffers != m_channels) return kAudio_ParamError;
  const UInt32 bytes = frames * UInt32(sizeof(float));
  for (UInt32 c = 0; c < m_channels; ++c) {
    AudioBuffer& b = io->mBuffers[c];
    if (b.mNumberChannels > 1 || (b.mData && b.mDataByteSize < bytes)) return kAudio_ParamError;
  }
  for (UInt32 c = 0; c < m_channels; ++c) {
    AudioBuffer& b = io->mBuffers[c];
    if (!b.mData) b.mData = m_scratch.data() + size_t(c) * m_maxFrames;
    b.mDataByteSize = bytes;
    b.mNumberChannels = 1;
  }
  auto* first = static_cast<float*>(io->mBuffers[0].mData);
  // Offline, nothing waits for the block: the voice may wait for the engine
  // thread, so each sound is whole and on its frame however fast the host asks.
  const size_t got = m_voice.render(first, frames, m_offline.load(std::memory_order_relaxed));
  std::fill(first + got, first + frames, 0.0f);
  for (UInt32 c = 1; c < m_channels; ++c) std::memcpy(io->mBuffers[c].mData, first, bytes);
  if (flags) {
    if (got == 0)
      *flags |= kAudioUnitRenderAction_OutputIsSilence;
    else
      *flags &= ~UInt32(kAudioUnitRenderAction_OutputIsSilence);
  }
  return noErr;
}

// Hosts send MIDI from their audio thread, each message timed within the next
// render call; the voice takes it up there.
OSStatus SpeechUnit::midiEvent(UInt32 status, UInt32 data1, UInt32 data2, UInt32 offsetFrames) {
  return m_voice.midi(status, data1, data2, offsetFrames) == VoiceController::MidiResult::NotStarted
             ? OSStatus(kAudioUnitErr_Uninitialized)
             : OSStatus(noErr);
}

// ---- helpers ----------------------------------------------------------------

OSStatus SpeechUnit::describeProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem, UInt32& size,
                                      Boolean& writable) {
  auto global = [&]() -> OSStatus {
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    return elem == 0 ? OSStatus(noErr) : OSStatus(kAudioUnitErr_InvalidElement);
  };
  auto output = [&]() -> OSStatus {
    if (scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
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
    case kGlimmProperty_Speaking:
      size = sizeof(UInt32), err = global();
      break;
    case kGlimmProperty_Voice:
      size = kGlimmVoiceBufferSize, writable = true, err = global();
      break;
    case kGlimmProperty_VoiceList:
      size = UInt32(VoiceController::voiceList().size() + 1), err = global();
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
    case kAudioUnitProperty_OfflineRender:
      size = sizeof(UInt32), writable = true, err = global();
      break;
    default:
      return kAudioUnitErr_InvalidProperty;
  }
  return err;
}

AudioStreamBasicDescription SpeechUnit::format() const {
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

OSStatus SpeechUnit::acceptFormat(const AudioStreamBasicDescription& f) const {
  const UInt32 needed = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
  if (f.mFormatID != kAudioFormatLinearPCM || (f.mFormatFlags & needed) != needed ||
      (f.mFormatFlags & kAudioFormatFlagIsBigEndian) || f.mBitsPerChannel != 32 || f.mBytesPerFrame != sizeof(float) ||
      f.mFramesPerPacket != 1 || (f.mChannelsPerFrame != 1 && f.mChannelsPerFrame != 2) || !(f.mSampleRate >= 8000.0) ||
      !(f.mSampleRate <= 384000.0))
    return kAudioUnitErr_FormatNotSupported;
  return m_voice.started() ? OSStatus(kAudioUnitErr_Initialized) : OSStatus(noErr);
}

OSStatus SpeechUnit::cocoaViewInfo(AudioUnitCocoaViewInfo* out) const {
  // The editor bundle lies beside this module, wherever both were installed.
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&checkParameterAddress), &info) || !info.dli_fname)
    return kAudioUnitErr_InvalidProperty;
  char resolved[PATH_MAX];
  std::string path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
  const size_t slash = path.rfind('/');
  path = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + kGlimmEditorBundleFileName;
  CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                         CFIndex(path.size()), false);
  CFStringRef cls = CFStringCreateWithCString(nullptr, kGlimmViewFactoryClassName, kCFStringEncodingUTF8);
  if (!url || !cls) {
    if (url) CFRelease(url);
    if (cls) CFRelease(cls);
    return kAudio_MemFullError;
  }
  out->mCocoaAUViewBundleLocation = url;
  out->mCocoaAUViewClass[0] = cls;
  return noErr;
}

void SpeechUnit::callPropertyListeners(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement elem) {
  std::vector<Listener> targets;
  {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    for (const Listener& l : m_listeners)
      if (l.id == id) targets.push_back(l);
  }
  // Outside the lock: a listener may add or remove listeners.
  for (const Listener& l : targets) l.proc(l.userData, AudioUnit(m_instance), id, scope, elem);
}
