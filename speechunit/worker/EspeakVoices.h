// The espeak-ng side of the synthesis process: starting the engine, listing
// its voices and loading one with scaled formants. Single-threaded: the
// process's main thread makes every call.
#pragma once

#include <string>
#include <vector>

struct EspeakVoiceEntry {
  std::string name;         // short name, lower case ("de", "cmn-latn-pinyin")
  std::string identifier;   // its file under the engine's voice folder ("gmw/de")
  std::string description;  // as the voice names itself ("German")
  std::string languages;    // separated by spaces, most specific first
};

class EspeakVoices {
 public:
  ~EspeakVoices();
  // Initialises espeak-ng for synchronous output; false when it cannot start
  // (no data, say).
  bool start();
  int sampleRate() const { return m_rate; }
  const std::vector<EspeakVoiceEntry>& list() const { return m_list; }
  // Loads the listed voice with this identifier (English when it is not
  // listed) with its formants scaled, unless that is what is loaded already.
  void ensure(const std::string& identifier, int throatPercent, int mouthPercent);

 private:
  bool load(const std::string& identifier, int throat, int mouth);
  std::string voiceFileText(const std::string& identifier) const;

  int m_rate = 0;
  std::vector<EspeakVoiceEntry> m_list;
  std::string m_dataPath;
  int m_variantFd = -1;  // an anonymous file the formant variants are written to
  std::string m_loaded;  // what ensure() loaded last; empty: nothing
};
