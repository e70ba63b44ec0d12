// An installed espeak-ng voice, as the synthesis process lists it and the
// engine hands it on.
#pragma once

#include <string>

struct SpeechVoiceInfo {
  std::string name;         // short name, lower case: the last part of its file ("de", "cmn-latn-pinyin")
  std::string identifier;   // its file under the engine's voice folder ("gmw/de")
  std::string description;  // as the voice names itself ("German")
  std::string languages;    // separated by spaces, most specific first
};
