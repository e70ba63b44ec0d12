// The espeak-ng side of the synthesis process: starting the engine, listing
// its voices and loading one with scaled formants. Single-threaded: the
// process's main thread makes every call.
#pragma once

#include "SpeechVoiceInfo.h"

#include <string>
#include <vector>

class EspeakVoices {
 public:
  ~EspeakVoices();
  // Initialises espeak-ng for synchronous output; false when it cannot start
  // (no data, say).
  bool start();
  int sampleRate() const { return m_rate; }
  // Every voice the engine lists, read on the first call: that reads every
  // voice file, which a start should not wait for.
  const std::vector<SpeechVoiceInfo>& list();
  // Loads a voice, by its file ("gmw/de") or short name ("de"), English when
  // empty or unknown, with its formants scaled, unless that is what is loaded
  // already. A voice for singing (a held F0) gets a high base pitch: the
  // engine's wave generator sums its harmonics in 16 bits scaled from that
  // base, and from about 400 Hz up a low one makes the sum wrap around into
  // noise, however the F0 itself is set.
  void ensure(const std::string& voice, int throatPercent, int mouthPercent, bool sung = false);

 private:
  bool load(const std::string& voice, int throat, int mouth, bool sung);
  std::string voiceFileText(const std::string& identifier) const;

  int m_rate = 0;
  bool m_listed = false;
  std::vector<SpeechVoiceInfo> m_list;
  std::string m_dataPath;
  int m_variantFd = -1;  // an anonymous file the formant variants are written to
  std::string m_loaded;  // what ensure() loaded last; empty: nothing
};
