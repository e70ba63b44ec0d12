#include "VoiceController.h"

#include "SpeechEngine.h"
#include "SpeechText.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// Deferred work bits: one per parameter to announce, plus a sung note to start.
constexpr uint32_t kDeferredNote = 1u << 16;
static_assert(kGlimmParamCount < 16, "parameter bits must stay below the note bit");

}  // namespace

// The engine's view of the controller; kept out of the public interface.
class VoiceController::EngineClient final : public SpeechVoiceClient {
 public:
  explicit EngineClient(VoiceController& owner) : m_owner(owner) {}
  void serviceDeferred(uint32_t flags) override { m_owner.serviceDeferred(flags); }

 private:
  VoiceController& m_owner;
};

VoiceController::VoiceController(Observer* observer)
    : m_observer(observer), m_client(std::make_unique<EngineClient>(*this)) {
  for (const GlimmParameterFacts& p : kGlimmParameters) m_params[p.index].store(p.defaultValue);
  std::memset(m_text, 0, sizeof m_text);
}

VoiceController::~VoiceController() { stop(); }

bool VoiceController::start(double sampleRate) {
  if (m_engineVoice) return true;
  m_engineVoice = SpeechVoice::create(sampleRate, m_client.get());
  return bool(m_engineVoice);
}

void VoiceController::stop() {
  if (m_engineVoice) {
    m_engineVoice->detach();
    m_engineVoice.reset();
  }
}

bool VoiceController::setParameter(int index, float value) {
  if (!std::isfinite(value)) return false;
  const GlimmParameterFacts& p = kGlimmParameters[index];
  const float v = std::clamp(value, p.minimum, p.maximum);
  if (m_params[index].exchange(v) != v) announceParameter(index);
  return true;
}

void VoiceController::setText(const char* bytes, size_t size) {
  std::lock_guard<std::mutex> lock(m_textMutex);
  const size_t n = strnlen(bytes, std::min<size_t>(size, kGlimmTextMaxBytes));
  std::memset(m_text, 0, sizeof m_text);
  std::memcpy(m_text, bytes, n);
}

void VoiceController::copyText(char* out) const {
  std::lock_guard<std::mutex> lock(m_textMutex);
  std::memcpy(out, m_text, kGlimmTextBufferSize);
}

bool VoiceController::setVoice(const char* name, bool* changed) {
  if (changed) *changed = false;
  if (!name) return false;
  const size_t n = strnlen(name, kGlimmVoiceBufferSize);
  if (n == 0 || n > kGlimmVoiceMaxBytes) return false;
  const SpeechVoiceInfo* voice = glimmspeech::findInstalledVoice(std::string_view(name, n));
  if (!voice) return false;
  std::lock_guard<std::mutex> lock(m_textMutex);
  if (m_voiceName == voice->name) return true;
  m_voiceName = voice->name;
  if (changed) *changed = true;
  return true;
}

void VoiceController::copyVoice(char* out) const {
  std::memset(out, 0, kGlimmVoiceBufferSize);
  std::lock_guard<std::mutex> lock(m_textMutex);
  std::memcpy(out, m_voiceName.data(), std::min<size_t>(m_voiceName.size(), kGlimmVoiceMaxBytes));
}

std::string VoiceController::voiceList() {
  std::string out;
  for (const SpeechVoiceInfo& v : glimmspeech::installedVoices())
    out += v.name + '\t' + v.languages + '\t' + v.description + '\n';
  return out;
}

bool VoiceController::play() {
  if (!m_engineVoice) return false;
  speak(-1);
  return true;
}

void VoiceController::silence() {
  if (m_engineVoice) m_engineVoice->stop();
}

bool VoiceController::speaking() const { return m_engineVoice && m_engineVoice->busy(); }

VoiceController::MidiResult VoiceController::midi(uint32_t status, uint32_t data1, uint32_t data2) {
  if ((status & 0xF0) != 0x90 || (data2 & 0x7F) == 0) return MidiResult::Ignored;
  if (m_params[kGlimmParam_SingMode].load() < 0.5f) return MidiResult::Ignored;
  SpeechVoice* voice = m_engineVoice.get();
  if (!voice) return MidiResult::NotStarted;
  m_pendingNote.store(int(data1 & 0x7F));
  voice->postDeferred(kDeferredNote);
  return MidiResult::Taken;
}

void VoiceController::markRenderThread() {
  m_renderThread.store(pthread_self(), std::memory_order_relaxed);
  m_hasRenderThread.store(true, std::memory_order_release);
}

size_t VoiceController::render(float* out, size_t frames) {
  markRenderThread();
  SpeechVoice* voice = m_engineVoice.get();
  return voice ? voice->render(out, frames) : 0;
}

bool VoiceController::onRenderThread() const {
  return m_hasRenderThread.load(std::memory_order_acquire) &&
         pthread_equal(m_renderThread.load(std::memory_order_relaxed), pthread_self());
}

void VoiceController::announceParameter(int index) {
  // Observers take locks and allocate, which the render thread must not; the
  // worker announces on its behalf. Until the first render call the render
  // thread is unknown, and a host may automate from it before rendering: a
  // started voice defers those announcements too.
  const bool renderThreadKnown = m_hasRenderThread.load(std::memory_order_acquire);
  if (m_engineVoice && (!renderThreadKnown || onRenderThread()))
    m_engineVoice->postDeferred(1u << index);
  else if (m_observer)
    m_observer->parameterChanged(index);
}

// Runs on the engine's worker thread.
void VoiceController::serviceDeferred(uint32_t flags) {
  if (m_observer)
    for (int i = 0; i < kGlimmParamCount; ++i)
      if (flags & (1u << i)) m_observer->parameterChanged(i);
  if (flags & kDeferredNote) {
    const int note = m_pendingNote.exchange(-1);
    if (note >= 0) {
      const float pitch = float(note * 2);
      if (m_params[kGlimmParam_Pitch].exchange(pitch) != pitch && m_observer)
        m_observer->parameterChanged(kGlimmParam_Pitch);
      speak(note);
    }
  }
}

void VoiceController::speak(int note) {
  std::string text;
  SpeechSettings s;
  {
    std::lock_guard<std::mutex> lock(m_textMutex);
    text = glimmPrepareSpeechText(m_text, kGlimmTextMaxBytes);
    s.voice = m_voiceName;
  }
  s.pitch = m_params[kGlimmParam_Pitch].load();
  s.speed = m_params[kGlimmParam_Speed].load();
  s.mouth = m_params[kGlimmParam_Mouth].load();
  s.throat = m_params[kGlimmParam_Throat].load();
  s.sing = m_params[kGlimmParam_SingMode].load() >= 0.5f;
  s.singNote = note >= 0 ? double(note) : glimmspeech::noteForPitch(s.pitch);
  if (m_engineVoice) m_engineVoice->speak(std::move(text), s);
}
