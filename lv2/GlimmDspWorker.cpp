// The worker side: texts, voices, speak requests and queued MIDI reach the
// voice here, where locking and allocating are allowed.
#include "GlimmDspInstance.h"

#include <cstring>

namespace glimm::dsp {

LV2_Worker_Status Instance::work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                                 const void* data) {
  if (!data || size < kJobHeader || size > sizeof(Job)) return LV2_WORKER_ERR_UNKNOWN;
  Job job;
  std::memcpy(&job, data, size);
  // Counted down without wrapping: a host may hand us jobs we never sent. A
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
  if (job.kind == Job::kText && job.holdsString(size, kGlimmTextBufferSize)) {
    std::lock_guard<std::mutex> lock(m_restoreMutex);
    if (job.generation == m_generation.load(std::memory_order_relaxed)) m_voice.setText(job.bytes, job.size);
  } else if (job.kind == Job::kVoice && job.holdsString(size, kGlimmVoiceBufferSize)) {
    job.bytes[job.size] = 0;
    std::unique_lock<std::mutex> lock(m_restoreMutex);
    const bool current = job.generation == m_generation.load(std::memory_order_relaxed);
    if (current && !m_voice.setVoice(job.bytes) && m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: voice \"%s\" refused (no installed espeak-ng voice has that name)\n",
                      job.bytes);
    // Accepted or not, run() learns the voice in use, and announces it.
    Job answer;
    answer.kind = Job::kVoice;
    m_voice.copyVoice(answer.bytes);
    lock.unlock();
    answer.size = uint32_t(strnlen(answer.bytes, kGlimmVoiceMaxBytes));
    answer.bytes[answer.size] = 0;
    if (respond) (void)respond(handle, answer.stringWireSize(), &answer);
  } else if (job.kind == Job::kPlay) {
    if (!m_voice.play()) return LV2_WORKER_ERR_UNKNOWN;
  } else if (job.kind == Job::kMidi && job.size == kMidiJobBytes && kJobHeader + kMidiJobBytes <= size) {
    const auto* msg = reinterpret_cast<const uint8_t*>(job.bytes);
    uint32_t frame = 0;
    std::memcpy(&frame, job.bytes + 3, sizeof frame);
    // Its frame within the block that comes next: order is what counts here.
    m_voice.midi(msg[0], msg[1], msg[2], frame);
  } else {
    return LV2_WORKER_ERR_UNKNOWN;
  }
  return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status Instance::workResponse(uint32_t size, const void* data) {
  if (!data || size < kJobHeader || size > sizeof(Job)) return LV2_WORKER_ERR_UNKNOWN;
  Job job;
  std::memcpy(&job, data, size);
  if (job.kind != Job::kVoice || !job.holdsString(size, kGlimmVoiceBufferSize)) return LV2_WORKER_ERR_UNKNOWN;
  std::memset(m_voiceName, 0, sizeof m_voiceName);
  std::memcpy(m_voiceName, job.bytes, job.size);
  m_announceVoice = true;
  return LV2_WORKER_SUCCESS;
}

}  // namespace glimm::dsp
