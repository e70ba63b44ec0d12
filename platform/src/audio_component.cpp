// Component registry, instances and the Audio Unit calls.
//
// Instance handles are not pointers but (generation, slot) pairs, so a handle
// never resolves again once its instance is disposed, even when the slot is
// reused. Calls resolve a handle without a lock, since AudioUnitRender runs on
// the audio thread: each slot holds one atomic word, generation in the high
// half and the number of calls in progress in the low half. A call enters with
// a compare-and-swap that succeeds only while the generation matches, and
// leaves with a decrement. Dispose bumps the generation (new calls fail from
// then on) and waits for calls on other threads to leave before Close runs.
// When the disposing thread is itself inside a call on that instance (a unit
// whose listener disposes it), Close is left to the outermost of those calls
// as it returns, so the unit's own frames never run on freed storage.
#include <AudioUnit/AudioUnit.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <thread>
#include <vector>

struct OpaqueAudioComponent {
  AudioComponentDescription desc;
  CFStringRef name;  // retained
  UInt32 version;
  AudioComponentFactoryFunction factory;
};

namespace {

// ---- Components ------------------------------------------------------------

std::mutex gComponentsMutex;
// Registration order; unregistered components leave the list but the objects
// stay, since instances made from them keep pointing at them.
std::vector<OpaqueAudioComponent*>& registered() {
  static auto* v = new std::vector<OpaqueAudioComponent*>();
  return *v;
}
std::vector<OpaqueAudioComponent*>& retired() {
  static auto* v = new std::vector<OpaqueAudioComponent*>();
  return *v;
}

bool matches(const AudioComponentDescription& c, const AudioComponentDescription* d) {
  if (!d) return true;
  if (d->componentType && d->componentType != c.componentType) return false;
  if (d->componentSubType && d->componentSubType != c.componentSubType) return false;
  if (d->componentManufacturer && d->componentManufacturer != c.componentManufacturer) return false;
  return (c.componentFlags & d->componentFlagsMask) == (d->componentFlags & d->componentFlagsMask);
}

// ---- Instances ---------------------------------------------------------------

struct Record {
  AudioComponentPlugInInterface* plugin;
  AudioComponent component;
};

struct Slot {
  std::atomic<uint64_t> word{0};  // generation << 32 | calls in progress; odd generation = live
  std::atomic<bool> closePending{false};
  Record* record = nullptr;
};

constexpr uint32_t kChunkBits = 10;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kChunkCount = 64;  // up to 65536 live instances

std::array<std::atomic<Slot*>, kChunkCount> gChunks{};
std::mutex gSlotsMutex;  // allocation and dispose only, never on a call
std::vector<uint32_t> gFreeSlots;
uint32_t gSlotCount = 0;

Slot* slotAt(uint32_t index) {
  if (index >= kChunkSize * kChunkCount) return nullptr;
  Slot* chunk = gChunks[index >> kChunkBits].load(std::memory_order_acquire);
  return chunk ? &chunk[index & (kChunkSize - 1)] : nullptr;
}

AudioComponentInstance makeHandle(uint32_t generation, uint32_t index) {
  return reinterpret_cast<AudioComponentInstance>((uintptr_t(generation) << 32) | (uintptr_t(index) + 1));
}

bool splitHandle(AudioComponentInstance h, uint32_t* generation, uint32_t* index) {
  const auto v = reinterpret_cast<uintptr_t>(h);
  const auto low = uint32_t(v & 0xffffffffu);
  if (low == 0) return false;
  *generation = uint32_t(v >> 32);
  *index = low - 1;
  return (*generation & 1) != 0;
}

// Slots this thread is inside a call on, innermost last. Deeper nesting is not
// tracked; it only matters for a unit disposed from within its own call.
struct Entered {
  std::array<uint32_t, 32> slots;
  int depth = 0;
};
thread_local Entered tEntered;

int enteredCount(uint32_t index) {
  int n = 0;
  for (int i = 0; i < tEntered.depth && i < int(tEntered.slots.size()); ++i)
    if (tEntered.slots[i] == index) ++n;
  return n;
}

void destroy(Slot* slot, uint32_t index) {
  Record* r = slot->record;
  slot->record = nullptr;
  if (r) {
    if (r->plugin && r->plugin->Close) r->plugin->Close(r->plugin);
    delete r;
  }
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  gFreeSlots.push_back(index);
}

// A call in progress on a live instance; `record` is null when the handle is
// null, disposed or not one of ours.
class Call {
 public:
  explicit Call(AudioComponentInstance h) {
    uint32_t generation, index;
    if (!splitHandle(h, &generation, &index)) return;
    Slot* slot = slotAt(index);
    if (!slot) return;
    uint64_t w = slot->word.load(std::memory_order_acquire);
    do {
      if (uint32_t(w >> 32) != generation) return;
    } while (!slot->word.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_acquire));
    slot_ = slot;
    index_ = index;
    record = slot->record;
    if (tEntered.depth < int(tEntered.slots.size())) tEntered.slots[tEntered.depth] = index;
    ++tEntered.depth;
  }
  ~Call() {
    if (!slot_) return;
    --tEntered.depth;
    const uint64_t before = slot_->word.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & 0xffffffffu) == 1 && slot_->closePending.exchange(false)) destroy(slot_, index_);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  template <typename Proc>
  Proc method(SInt16 selector) const {
    if (!record || !record->plugin || !record->plugin->Lookup) return nullptr;
    return reinterpret_cast<Proc>(record->plugin->Lookup(selector));
  }
  void* self() const { return record->plugin; }

  Record* record = nullptr;

 private:
  Slot* slot_ = nullptr;
  uint32_t index_ = 0;
};

bool allocateSlot(uint32_t* index, Slot** slot) {
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  if (!gFreeSlots.empty()) {
    *index = gFreeSlots.back();
    gFreeSlots.pop_back();
  } else {
    if (gSlotCount >= kChunkSize * kChunkCount) return false;
    *index = gSlotCount++;
    auto& chunk = gChunks[*index >> kChunkBits];
    if (!chunk.load(std::memory_order_relaxed)) chunk.store(new Slot[kChunkSize], std::memory_order_release);
  }
  *slot = slotAt(*index);
  return true;
}

// Marks the instance dead; returns false when the handle was not live.
bool retire(AudioComponentInstance h, Slot** slotOut, uint32_t* indexOut) {
  uint32_t generation, index;
  if (!splitHandle(h, &generation, &index)) return false;
  Slot* slot = slotAt(index);
  if (!slot) return false;
  uint64_t w = slot->word.load(std::memory_order_acquire);
  do {
    if (uint32_t(w >> 32) != generation) return false;
  } while (!slot->word.compare_exchange_weak(w, (uint64_t(generation + 1) << 32) | (w & 0xffffffffu),
                                             std::memory_order_acq_rel, std::memory_order_acquire));
  *slotOut = slot;
  *indexOut = index;
  return true;
}

void disposeRetired(Slot* slot, uint32_t index) {
  const int mine = enteredCount(index);
  // Calls on other threads finish on their own; this only waits in the rare
  // race of a dispose against a call in flight.
  while (int(slot->word.load(std::memory_order_acquire) & 0xffffffffu) > mine)
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  if (mine == 0) {
    destroy(slot, index);
  } else {
    slot->closePending.store(true);
  }
}

}  // namespace

extern "C" {

AudioComponent AudioComponentRegister(const AudioComponentDescription* inDesc, CFStringRef inName, UInt32 inVersion,
                                      AudioComponentFactoryFunction inFactory) {
  if (!inDesc || !inFactory) return nullptr;
  auto* c = new OpaqueAudioComponent{*inDesc, inName, inVersion, inFactory};
  if (inName) CFRetain(inName);
  std::lock_guard<std::mutex> lock(gComponentsMutex);
  registered().push_back(c);
  return c;
}

OSStatus GlimmAudioComponentUnregister(AudioComponent inComponent) {
  std::lock_guard<std::mutex> lock(gComponentsMutex);
  auto& v = registered();
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (*it == inComponent) {
      v.erase(it);
      retired().push_back(inComponent);
      return noErr;
    }
  }
  return kAudio_ParamError;
}

AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc) {
  std::lock_guard<std::mutex> lock(gComponentsMutex);
  const auto& v = registered();
  size_t i = 0;
  if (inComponent) {
    while (i < v.size() && v[i] != inComponent) ++i;
    if (i == v.size()) return nullptr;  // no longer registered: nothing follows it
    ++i;
  }
  for (; i < v.size(); ++i)
    if (matches(v[i]->desc, inDesc)) return v[i];
  return nullptr;
}

UInt32 AudioComponentCount(const AudioComponentDescription* inDesc) {
  std::lock_guard<std::mutex> lock(gComponentsMutex);
  UInt32 n = 0;
  for (auto* c : registered())
    if (matches(c->desc, inDesc)) ++n;
  return n;
}

OSStatus AudioComponentCopyName(AudioComponent inComponent, CFStringRef* outName) {
  if (!inComponent || !outName) return kAudio_ParamError;
  *outName = inComponent->name ? static_cast<CFStringRef>(CFRetain(inComponent->name)) : nullptr;
  return noErr;
}

OSStatus AudioComponentGetDescription(AudioComponent inComponent, AudioComponentDescription* outDesc) {
  if (!inComponent || !outDesc) return kAudio_ParamError;
  *outDesc = inComponent->desc;
  return noErr;
}

OSStatus AudioComponentGetVersion(AudioComponent inComponent, UInt32* outVersion) {
  if (!inComponent || !outVersion) return kAudio_ParamError;
  *outVersion = inComponent->version;
  return noErr;
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
  if (!outInstance) return kAudio_ParamError;
  *outInstance = nullptr;
  if (!inComponent) return kAudio_ParamError;
  AudioComponentPlugInInterface* plugin = inComponent->factory(&inComponent->desc);
  if (!plugin) return kAudio_MemFullError;

  uint32_t index;
  Slot* slot;
  if (!allocateSlot(&index, &slot)) {
    if (plugin->Close) plugin->Close(plugin);
    return kAudio_MemFullError;
  }
  slot->record = new Record{plugin, inComponent};
  slot->closePending.store(false);
  // A free slot's generation is even (fresh or retired); the next odd one is a new life.
  const uint32_t next = uint32_t(slot->word.load(std::memory_order_relaxed) >> 32) + 1;
  slot->word.store(uint64_t(next) << 32, std::memory_order_release);
  AudioComponentInstance handle = makeHandle(next, index);

  // Open gets the handle, so a unit can name itself to its property listeners.
  const OSStatus err = plugin->Open ? plugin->Open(plugin, handle) : OSStatus(noErr);
  if (err != noErr) {
    // The plug-in frees itself in Close, so it runs even after a failed Open.
    Slot* s;
    uint32_t i;
    if (retire(handle, &s, &i)) disposeRetired(s, i);
    return err;
  }
  *outInstance = handle;
  return noErr;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
  Slot* slot;
  uint32_t index;
  if (!retire(inInstance, &slot, &index)) return badComponentInstance;
  disposeRetired(slot, index);
  return noErr;
}

AudioComponent AudioComponentInstanceGetComponent(AudioComponentInstance inInstance) {
  Call c(inInstance);
  return c.record ? c.record->component : nullptr;
}

// ---- Audio Unit calls --------------------------------------------------------

#define GLIMM_DISPATCH(ProcType, selector, ...) \
  Call c(inUnit);                               \
  if (!c.record) return badComponentInstance;   \
  auto proc = c.method<ProcType>(selector);     \
  if (!proc) return badComponentSelector;       \
  return proc(c.self(), ##__VA_ARGS__)

OSStatus AudioUnitInitialize(AudioUnit inUnit) { GLIMM_DISPATCH(AudioUnitInitializeProc, kAudioUnitInitializeSelect); }

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
  GLIMM_DISPATCH(AudioUnitUninitializeProc, kAudioUnitUninitializeSelect);
}

OSStatus AudioUnitGetPropertyInfo(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                  AudioUnitElement inElement, UInt32* outDataSize, Boolean* outWritable) {
  GLIMM_DISPATCH(AudioUnitGetPropertyInfoProc, kAudioUnitGetPropertyInfoSelect, inID, inScope, inElement, outDataSize,
                 outWritable);
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
  GLIMM_DISPATCH(AudioUnitGetPropertyProc, kAudioUnitGetPropertySelect, inID, inScope, inElement, outData, ioDataSize);
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
  GLIMM_DISPATCH(AudioUnitSetPropertyProc, kAudioUnitSetPropertySelect, inID, inScope, inElement, inData, inDataSize);
}

OSStatus AudioUnitAddPropertyListener(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitPropertyListenerProc inProc,
                                      void* inProcUserData) {
  GLIMM_DISPATCH(AudioUnitAddPropertyListenerProc, kAudioUnitAddPropertyListenerSelect, inID, inProc, inProcUserData);
}

OSStatus AudioUnitRemovePropertyListenerWithUserData(AudioUnit inUnit, AudioUnitPropertyID inID,
                                                     AudioUnitPropertyListenerProc inProc, void* inProcUserData) {
  GLIMM_DISPATCH(AudioUnitRemovePropertyListenerWithUserDataProc, kAudioUnitRemovePropertyListenerWithUserDataSelect,
                 inID, inProc, inProcUserData);
}

OSStatus AudioUnitGetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue* outValue) {
  GLIMM_DISPATCH(AudioUnitGetParameterProc, kAudioUnitGetParameterSelect, inID, inScope, inElement, outValue);
}

OSStatus AudioUnitSetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue inValue,
                               UInt32 inBufferOffsetInFrames) {
  GLIMM_DISPATCH(AudioUnitSetParameterProc, kAudioUnitSetParameterSelect, inID, inScope, inElement, inValue,
                 inBufferOffsetInFrames);
}

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
                         UInt32 inOutputBusNumber, UInt32 inNumberFrames, AudioBufferList* ioData) {
  GLIMM_DISPATCH(AudioUnitRenderProc, kAudioUnitRenderSelect, ioActionFlags, inTimeStamp, inOutputBusNumber,
                 inNumberFrames, ioData);
}

OSStatus AudioUnitReset(AudioUnit inUnit, AudioUnitScope inScope, AudioUnitElement inElement) {
  GLIMM_DISPATCH(AudioUnitResetProc, kAudioUnitResetSelect, inScope, inElement);
}

OSStatus MusicDeviceMIDIEvent(MusicDeviceComponent inUnit, UInt32 inStatus, UInt32 inData1, UInt32 inData2,
                              UInt32 inOffsetSampleFrame) {
  GLIMM_DISPATCH(MusicDeviceMIDIEventProc, kMusicDeviceMIDIEventSelect, inStatus, inData1, inData2,
                 inOffsetSampleFrame);
}

}  // extern "C"
