// The worker side: texts, voices, speak requests and queued MIDI reach the
// voice here, where locking and allocating are allowed.
#include "GlimmDspInstance.h"

#include <cstring>

namespace glimm::dsp {

LV2_Worker_Status Instance::work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                                 const void* data) {
  if (!data || size < kWorkHeader || size > sizeof(Work)) return LV2_WORKER_ERR_UNKNOWN;
  Work request;
  std::memcpy(&request, data, size);
  // Counted down without wrapping: a host may hand us work we never sent. A
  // free-wheeling run() may be waiting for the count to reach 0.
  struct Done {
    Instance& self;
    ~Done() {
      uint32_t n = self.m_waiting.load(std::memory_order_relaxed);
      while (n > 0 && !self.m_waiting.compare_exchange_weak(n, n - 1)) {
      }
      if (self.m_workWaiters.load() == 0) return;
      std::lock_guard<std::mutex> lock(self.m_workMutex);
      self.m_workDone.notify_all();
    }
  } done{*this};
  if (request.kind == Work::kText && request.holdsString(size, kGlimmTextBufferSize)) {
    std::lock_guard<std::mutex> lock(m_restoreMutex);
    if (request.generation == m_generation.load(std::memory_order_relaxed))
      m_voice.setText(request.bytes, request.size);
  } else if (request.kind == Work::kVoice && request.holdsString(size, kGlimmVoiceBufferSize)) {
    request.bytes[request.size] = 0;
    std::unique_lock<std::mutex> lock(m_restoreMutex);
    const bool current = request.generation == m_generation.load(std::memory_order_relaxed);
    if (current && !m_voice.setVoice(request.bytes) && m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: voice \"%s\" refused (no installed espeak-ng voice has that name)\n",
                      request.bytes);
    // Accepted or not, run() learns the voice in use, and announces it.
    Work answer;
    answer.kind = Work::kVoice;
    m_voice.copyVoice(answer.bytes);
    lock.unlock();
    answer.size = uint32_t(strnlen(answer.bytes, kGlimmVoiceMaxBytes));
    answer.bytes[answer.size] = 0;
    if (respond) (void)respond(handle, answer.stringWireSize(), &answer);
  } else if (request.kind == Work::kPlay) {
    if (!m_voice.play()) return LV2_WORKER_ERR_UNKNOWN;
  } else if (request.kind == Work::kMidi && request.size == kMidiWorkBytes && kWorkHeader + kMidiWorkBytes <= size) {
    const auto* msg = reinterpret_cast<const uint8_t*>(request.bytes);
    uint32_t frame = 0;
    std::memcpy(&frame, request.bytes + 3, sizeof frame);
    // Its frame within the block that comes next: order is what counts here.
    m_voice.midi(msg[0], msg[1], msg[2], frame);
  } else {
    return LV2_WORKER_ERR_UNKNOWN;
  }
  return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status Instance::workResponse(uint32_t size, const void* data) {
  if (!data || size < kWorkHeader || size > sizeof(Work)) return LV2_WORKER_ERR_UNKNOWN;
  Work answer;
  std::memcpy(&answer, data, size);
  if (answer.kind != Work::kVoice || !answer.holdsString(size, kGlimmVoiceBufferSize)) return LV2_WORKER_ERR_UNKNOWN;
  std::memset(m_voiceName, 0, sizeof m_voiceName);
  std::memcpy(m_voiceName, answer.bytes, answer.size);
  m_announceVoice = true;
  return LV2_WORKER_SUCCESS;
}

}  // namespace glimm::dsp
