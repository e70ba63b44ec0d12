// The plug-in's saved state: the text and the voice, as strings.
#include "GlimmDspInstance.h"

#include <cstring>

namespace glimm::dsp {

LV2_State_Status Instance::save(LV2_State_Store_Function store, LV2_State_Handle handle) {
  char text[kGlimmTextBufferSize];
  m_voice.copyText(text);
  const size_t n = strnlen(text, kGlimmTextMaxBytes);
  text[n] = 0;
  const uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
  const LV2_State_Status st = store(handle, m_uris.text, text, n + 1, m_uris.atomString, flags);
  if (st != LV2_STATE_SUCCESS) return st;
  char voice[kGlimmVoiceBufferSize];
  m_voice.copyVoice(voice);
  return store(handle, m_uris.voice, voice, strnlen(voice, kGlimmVoiceMaxBytes) + 1, m_uris.atomString, flags);
}

LV2_State_Status Instance::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
  const LV2_State_Status text = restoreText(retrieve, handle);
  const LV2_State_Status voice = restoreVoice(retrieve, handle);
  return text != LV2_STATE_SUCCESS ? text : voice;
}

LV2_State_Status Instance::restoreVoice(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
  size_t size = 0;
  uint32_t type = 0, flags = 0;
  const void* value = retrieve(handle, m_uris.voice, &size, &type, &flags);
  if (!value) return LV2_STATE_SUCCESS;  // saved before there were voices: the voice stays
  const long n = type == m_uris.atomString ? lv2::acceptVoiceName(value, size) : -1;
  // Like the text: voice work still queued was sent before this state.
  std::unique_lock<std::mutex> lock(m_restoreMutex);
  if (n >= 0) m_generation.fetch_add(1, std::memory_order_relaxed);
  if (n < 0 || !m_voice.setVoice(static_cast<const char*>(value))) {
    lock.unlock();
    if (m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: saved voice refused (not the name of an installed espeak-ng voice)\n");
    return type == m_uris.atomString ? LV2_STATE_ERR_UNKNOWN : LV2_STATE_ERR_BAD_TYPE;
  }
  m_voice.copyVoice(m_voiceName);
  m_restored.store(true, std::memory_order_release);
  return LV2_STATE_SUCCESS;
}

LV2_State_Status Instance::restoreText(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
  size_t size = 0;
  uint32_t type = 0, flags = 0;
  const void* value = retrieve(handle, m_uris.text, &size, &type, &flags);
  if (!value) return LV2_STATE_SUCCESS;  // nothing saved: the text stays
  const long n = type == m_uris.atomString ? lv2::acceptText(value, size) : -1;
  if (n < 0) {
    if (m_hasLog)
      lv2_log_warning(&m_logger, "Glimm: saved text refused (not a UTF-8 string of at most %d bytes)\n",
                      int(kGlimmTextMaxBytes));
    return type == m_uris.atomString ? LV2_STATE_ERR_UNKNOWN : LV2_STATE_ERR_BAD_TYPE;
  }
  {
    // Text work still queued was sent before this state: it must not undo it.
    std::lock_guard<std::mutex> lock(m_restoreMutex);
    m_generation.fetch_add(1, std::memory_order_relaxed);
    m_voice.setText(static_cast<const char*>(value), size_t(n));
  }
  keepText(static_cast<const char*>(value), size_t(n));
  m_restored.store(true, std::memory_order_release);
  return LV2_STATE_SUCCESS;
}

}  // namespace glimm::dsp
