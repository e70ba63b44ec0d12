#include "EspeakVoices.h"

#include "GlimmContract.h"

#include <espeak-ng/espeak_ng.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

EspeakVoices::~EspeakVoices() {
  if (m_variantFd >= 0) ::close(m_variantFd);
}

bool EspeakVoices::start() {
  // The one start that takes options: phoneme events (in IPA) say where a
  // sung syllable's vowel lies; the espeak_ng_* start never sends them. A
  // start that fails (no data) ends this process with status 1 and a message.
  if (espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                        espeakINITIALIZE_PHONEME_EVENTS | espeakINITIALIZE_PHONEME_IPA) <= 0)
    return false;
  // Text arrives as UTF-8 whatever the user's locale; this process is ours.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  m_rate = espeak_ng_GetSampleRate();
  const char* dataPath = nullptr;
  espeak_Info(&dataPath);
  if (dataPath) m_dataPath = dataPath;
  // The voice-file loader lower-cases its path, reads '+' as a variant and
  // keeps 59 bytes of it: "/proc/self/fd/N" survives all that, and an
  // anonymous file leaves nothing behind when this process dies.
  m_variantFd = memfd_create("v", MFD_CLOEXEC);

  return m_rate > 0;
}

const std::vector<SpeechVoiceInfo>& EspeakVoices::list() {
  if (m_listed) return m_list;
  m_listed = true;
  // Every voice the engine lists (it leaves out variants and external voices).
  const espeak_VOICE** voices = espeak_ListVoices(nullptr);
  for (size_t i = 0; voices && voices[i]; ++i) {
    const espeak_VOICE& v = *voices[i];
    if (!v.identifier || !v.name) continue;
    SpeechVoiceInfo e;
    e.identifier = v.identifier;
    e.description = v.name;
    const size_t slash = e.identifier.rfind('/');
    e.name = slash == std::string::npos ? e.identifier : e.identifier.substr(slash + 1);
    for (char& c : e.name)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    // Languages: a priority byte, then a NUL-terminated name, until an empty name.
    for (const char* p = v.languages; p && p[0] && p[1]; p += std::strlen(p + 1) + 2) {
      if (!e.languages.empty()) e.languages += ' ';
      e.languages += p + 1;
    }
    m_list.push_back(std::move(e));
  }
  return m_list;
}

// The voice file's own lines, so a variant keeps the language's rules; empty
// when it cannot be read.
std::string EspeakVoices::voiceFileText(const std::string& identifier) const {
  if (m_dataPath.empty() || identifier.find("..") != std::string::npos) return {};
  for (const char* folder : {"/lang/", "/voices/"}) {
    const std::string path = m_dataPath + folder + identifier;
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f) continue;
    char buf[8192];
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    const bool whole = std::feof(f) != 0;
    std::fclose(f);
    if (!whole) return {};
    std::string text(buf, n);
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text;
  }
  return {};
}

namespace {

// English's voice file. Loading a voice by its short name makes the engine
// read every voice file first, which would double a start's time.
constexpr const char* kEnglish = "gmw/en";

// A voice name from outside this process: a file below the voice folders or
// a short name, nothing that could lead elsewhere.
bool plausibleVoice(const std::string& v) {
  return !v.empty() && v.size() < 60 && v[0] != '/' && v.find("..") == std::string::npos &&
         std::all_of(v.begin(), v.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
                  c == '_';
         });
}

bool loadByName(const std::string& voice) { return espeak_ng_SetVoiceByName(voice.c_str()) == ENS_OK; }

}  // namespace

bool EspeakVoices::load(const std::string& voice, int throat, int mouth, bool sung) {
  if (!(plausibleVoice(voice) && loadByName(voice)) && !loadByName(kEnglish) && !loadByName(kGlimmDefaultVoice))
    return false;
  if (m_variantFd < 0 || (throat == 100 && mouth == 100 && !sung)) return true;
  // The voice's own file with the formants scaled: a variant for any language.
  const espeak_VOICE* loaded = espeak_GetCurrentVoice();
  std::string text = loaded && loaded->identifier ? voiceFileText(loaded->identifier) : std::string();
  if (text.empty()) text = "name glimm\nlanguage en\ntunes s1 c1 q1 e1\n";
  char line[64];
  for (int f = 0; f <= 8; ++f) {
    std::snprintf(line, sizeof line, "formant %d %d -1 -1\n", f, f <= 2 ? throat : mouth);
    text += line;
  }
  // Clean up to MIDI 88 in every word tried; the held F0 overrides the
  // base, and at 220 Hz the sound stays the same within a few dB.
  if (sung) text += "pitch 200 300\n";
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_variantFd);
  const bool written =
      ::ftruncate(m_variantFd, 0) == 0 && ::pwrite(m_variantFd, text.data(), text.size(), 0) == ssize_t(text.size());
  // Without the variant the voice speaks with its own formants.
  if (written) espeak_ng_SetVoiceByFile(path);
  return true;
}

void EspeakVoices::ensure(const std::string& wanted, int throat, int mouth, bool sung) {
  const std::string voice = wanted.empty() ? std::string(kEnglish) : wanted;
  char formants[32];
  std::snprintf(formants, sizeof formants, "/%d/%d%s", throat, mouth, sung ? "/sung" : "");
  const std::string key = voice + formants;
  // Loading costs milliseconds, a note's whole budget: only on a change. The
  // pitch is neutral while loading, as a high one shifts the loaded formants.
  if (key == m_loaded) return;
  espeak_SetParameter(espeakPITCH, 50, 0);
  m_loaded = load(voice, throat, mouth, sung) ? key : std::string();
}
