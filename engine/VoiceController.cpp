#include "VoiceController.h"

#include "SpeechVoice.h"
#include "SpeechText.h"
#include "Lyric.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Deferred work bits: one per parameter to announce, plus a note to start.
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

uint64_t VoiceController::latencyFrames() const { return m_engineVoice ? m_engineVoice->latencyFrames() : 0; }

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
  m_wordCursor.store(0);
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
  const SpeechVoiceInfo* voice = glimm::findInstalledVoice(std::string_view(name, n));
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
  for (const SpeechVoiceInfo& v : glimm::installedVoices())
    out += v.name + '\t' + v.languages + '\t' + v.description + '\n';
  return out;
}

bool VoiceController::play() {
  if (!m_engineVoice) return false;
  restartLyric();
  NoteRequest r;
  r.sing = m_params[kGlimmParam_SingMode].load() >= 0.5f;
  // The render thread's clock is known to the last block: within one block.
  r.startFrame = m_engineVoice->publishedFrame() + m_engineVoice->latencyFrames();
  speak(&r);
  return true;
}

void VoiceController::restartLyric() { m_wordCursor.store(0, std::memory_order_relaxed); }

void VoiceController::silence() {
  if (m_engineVoice) m_engineVoice->silence();
}

bool VoiceController::speaking() const { return m_engineVoice && m_engineVoice->busy(); }

VoiceController::MidiResult VoiceController::midi(uint32_t status, uint32_t data1, uint32_t data2, uint32_t offset) {
  // Channel messages only, with a status byte and data bytes below 0x80, and
  // MIDI Start; running status, other system messages and sysex carry
  // nothing for the voice.
  const uint32_t kind = status & 0xF0;
  if (status > 0xFF || kind < 0x80 || (kind == 0xF0 && status != 0xFA) || data1 > 0x7F || data2 > 0x7F)
    return MidiResult::Ignored;
  const bool used = kind == 0x80 || kind == 0x90 || kind == 0xE0 || status == 0xFA ||
                    (kind == 0xB0 && (data1 == 1 || data1 == 5 || data1 == 6 || data1 == 65 || data1 == 100 ||
                                      data1 == 101 || data1 == 120 || data1 == 121 || data1 == 123));
  if (!used) return MidiResult::Ignored;
  if (!m_engineVoice) return MidiResult::NotStarted;
  // Full only while the render thread is not running.
  return m_midi.push({status | data1 << 8 | data2 << 16, offset}) ? MidiResult::Taken : MidiResult::Ignored;
}

void VoiceController::drainMidi(size_t frames) {
  const uint64_t blockStart = m_engineVoice->frame();
  MidiMessage m;
  while (m_midi.pop(m)) {
    // An offset past the block means its last frame.
    const uint64_t at = blockStart + std::min<uint64_t>(m.offset, frames ? frames - 1 : 0);
    handleMidi(m.message & 0xFF, (m.message >> 8) & 0x7F, (m.message >> 16) & 0x7F, at);
  }
}

// Render thread: the voice's note state lives here, so no message waits.
void VoiceController::handleMidi(uint32_t status, uint32_t data1, uint32_t data2, uint64_t at) {
  SpeechVoice& voice = *m_engineVoice;
  const uint32_t kind = status & 0xF0;
  const uint64_t due = at + voice.latencyFrames();
  const bool sing = m_params[kGlimmParam_SingMode].load() >= 0.5f;
  if (kind == 0x90 && data2 > 0) {
    const uint32_t id = ++m_lastNoteId;
    const int legatoFrom = sing ? m_heldNote : -1;
    if (sing) {
      m_heldNote = int(data1);
      m_heldId = id;
    }
    // Only the newest request matters to the engine thread: last note priority.
    NoteRequest r;
    r.note = int(data1);
    r.velocity = int(data2);
    r.sing = sing;
    r.word = sing ? m_wordCursor.fetch_add(1, std::memory_order_relaxed) : 0;
    r.id = id;
    r.startFrame = due;
    r.legatoFrom = legatoFrom;
    if (m_offlineBlock) {
      m_heldBack = r;
      m_holdingBack = true;
    } else {
      publishNote(r);
    }
  } else if (kind == 0x80 || kind == 0x90) {
    // Speech mode lets the text finish; a sung word ends with its key.
    if (int(data1) == m_heldNote) {
      voice.release(m_heldId, due);
      m_heldNote = -1;
    }
  } else if (kind == 0xE0) {
    m_bendWheel = (double(int(data2 << 7 | data1)) - 8192.0) / 8192.0;
    voice.setBend(m_bendRange * m_bendWheel);
  } else if (kind == 0xB0 && data1 == 1) {
    voice.setVibrato(double(data2) * 100.0 / 127.0);
  } else if (kind == 0xB0 && (data1 == 101 || data1 == 100)) {
    // The registered parameter the next data entry sets (0/0: bend range).
    m_rpn = data1 == 101 ? (m_rpn & 0x7F) | data2 << 7 : (m_rpn & ~0x7Fu) | data2;
  } else if (kind == 0xB0 && data1 == 6) {
    if (m_rpn == 0) {
      m_bendRange = std::clamp(int(data2), 1, 24);
      voice.setBend(m_bendRange * m_bendWheel);
    }
  } else if (status == 0xFA) {
    restartLyric();
  } else if (kind == 0xB0 && data1 == 5) {
    m_glideMs.store(float(data2) * 1000.0f / 127.0f, std::memory_order_relaxed);
  } else if (kind == 0xB0 && data1 == 65) {
    m_portamento.store(data2 >= 64, std::memory_order_relaxed);
  } else if (kind == 0xB0 && data1 == 121) {
    m_bendWheel = 0;
    voice.setBend(0);
  } else if (kind == 0xB0) {
    m_heldNote = -1;
    m_holdingBack = false;
    voice.cutAll(m_lastNoteId);
    voice.cancelSynthesis();
  }
}

void VoiceController::markRenderThread() {
  m_renderThread.store(pthread_self(), std::memory_order_relaxed);
  m_hasRenderThread.store(true, std::memory_order_release);
}

size_t VoiceController::render(float* out, size_t frames, bool mayWait) {
  markRenderThread();
  SpeechVoice* voice = m_engineVoice.get();
  if (!voice) return 0;
  voice->beginBlock(frames);
  // A note held back offline goes once it is due within the block: before
  // the block's own MIDI, which may hold back the next.
  const auto publishDue = [&] {
    if (m_holdingBack && (!mayWait || m_heldBack.startFrame < voice->frame() + frames)) {
      m_holdingBack = false;
      publishNote(m_heldBack);
    }
  };
  publishDue();
  m_offlineBlock = mayWait;
  drainMidi(frames);
  publishDue();
  if (mayWait) {
    // The newest note is what the engine thread takes up; older ones it drops.
    const uint32_t last = m_publishedNote;
    voice->waitUntilReady(frames, kOfflineWait, [this, last](uint64_t blockEnd) {
      return m_handedNote.load() != last && m_lastNoteFrame < blockEnd;
    });
  }
  return voice->render(out, frames);
}

void VoiceController::publishNote(const NoteRequest& r) {
  m_noteRequest.store(r);
  m_lastNoteFrame = r.startFrame;
  m_publishedNote = r.id;
  m_engineVoice->postDeferred(kDeferredNote);
}

bool VoiceController::onRenderThread() const {
  return m_hasRenderThread.load(std::memory_order_acquire) &&
         pthread_equal(m_renderThread.load(std::memory_order_relaxed), pthread_self());
}

void VoiceController::announceParameter(int index) {
  // Observers take locks and allocate, which the render thread must not; the
  // engine thread announces on its behalf. Until the first render call the render
  // thread is unknown, and a host may automate from it before rendering: a
  // started voice defers those announcements too.
  const bool renderThreadKnown = m_hasRenderThread.load(std::memory_order_acquire);
  if (m_engineVoice && (!renderThreadKnown || onRenderThread()))
    m_engineVoice->postDeferred(1u << index);
  else if (m_observer)
    m_observer->parameterChanged(index);
}

// Engine thread.
void VoiceController::serviceDeferred(uint32_t flags) {
  if (m_observer)
    for (int i = 0; i < kGlimmParamCount; ++i)
      if (flags & (1u << i)) m_observer->parameterChanged(i);
  if (flags & kDeferredNote) {
    const NoteRequest r = m_noteRequest.load();
    if (r.id != m_servicedNote) {
      m_servicedNote = r.id;
      speak(&r);
    }
    m_handedNote.store(r.id);
  }
}

void VoiceController::speak(const NoteRequest* r) {
  SpeechSettings s;
  s.pitch = m_params[kGlimmParam_Pitch].load();
  s.speed = m_params[kGlimmParam_Speed].load();
  s.mouth = m_params[kGlimmParam_Mouth].load();
  s.throat = m_params[kGlimmParam_Throat].load();
  s.sing = r->sing;
  s.phonetic = m_params[kGlimmParam_Phonetic].load() >= 0.5f;
  s.filter = m_params[kGlimmParam_Filter].load() >= 0.5f;
  s.singNote = r->note >= 0 && r->sing ? double(r->note) : glimm::noteForPitch(s.pitch);
  s.level = double(r->velocity) / 127.0;
  s.startFrame = r->startFrame;
  s.noteId = r->id;
  if (r->sing && r->legatoFrom >= 0) {
    s.legato = true;
    s.glideFrom = double(r->legatoFrom);
    s.glideMs = m_portamento.load(std::memory_order_relaxed) ? m_glideMs.load(std::memory_order_relaxed) : 0.0;
  }
  std::string text;
  {
    std::lock_guard<std::mutex> lock(m_textMutex);
    text = glimm::prepareSpeechText(m_text, kGlimmTextMaxBytes);
    s.voice = m_voiceName;
  }
  if (r->note >= 0 && r->sing) {
    // A sung note takes the next syllable, wrapping round the lyric.
    text = glimm::encodeLyric(glimm::parseLyric(text, s.phonetic), s.phonetic);
    s.lyric = true;
    s.lyricNote = r->word;
  }
  if (m_engineVoice) m_engineVoice->speak(std::move(text), s);
}
