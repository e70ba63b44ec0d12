#include "EspeakVoices.h"

#include <espeak-ng/espeak_ng.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

EspeakVoices::~EspeakVoices() {
  if (m_variantFd >= 0) ::close(m_variantFd);
}

bool EspeakVoices::start() {
  espeak_ng_InitializePath(nullptr);
  espeak_ng_ERROR_CONTEXT context = nullptr;
  const espeak_ng_STATUS status = espeak_ng_Initialize(&context);
  if (context) espeak_ng_ClearErrorContext(&context);
  if (status != ENS_OK) return false;
  if (espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr) != ENS_OK) return false;
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

  // Every voice the engine lists (it leaves out variants and external voices).
  const espeak_VOICE** voices = espeak_ListVoices(nullptr);
  for (size_t i = 0; voices && voices[i]; ++i) {
    const espeak_VOICE& v = *voices[i];
    if (!v.identifier || !v.name) continue;
    EspeakVoiceEntry e;
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
  return m_rate > 0;
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

bool EspeakVoices::load(const std::string& identifier, int throat, int mouth) {
  if (m_variantFd >= 0 && (throat != 100 || mouth != 100)) {
    // The voice's own file with the formants scaled: a variant for any language.
    std::string text = voiceFileText(identifier);
    if (text.empty()) text = "name glimm\nlanguage en\ntunes s1 c1 q1 e1\n";
    char line[64];
    for (int f = 0; f <= 8; ++f) {
      std::snprintf(line, sizeof line, "formant %d %d -1 -1\n", f, f <= 2 ? throat : mouth);
      text += line;
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_variantFd);
    const bool written =
        ::ftruncate(m_variantFd, 0) == 0 && ::pwrite(m_variantFd, text.data(), text.size(), 0) == ssize_t(text.size());
    if (written && espeak_ng_SetVoiceByFile(path) == ENS_OK) return true;
  }
  return espeak_ng_SetVoiceByName(identifier.c_str()) == ENS_OK || espeak_ng_SetVoiceByName("en") == ENS_OK;
}

void EspeakVoices::ensure(const std::string& wanted, int throat, int mouth) {
  // Only a listed voice is loaded: the name comes from outside this process.
  std::string identifier = "en";
  for (const EspeakVoiceEntry& e : m_list)
    if (e.name == "en") identifier = e.identifier;
  for (const EspeakVoiceEntry& e : m_list)
    if (e.identifier == wanted) identifier = wanted;
  char formants[32];
  std::snprintf(formants, sizeof formants, "/%d/%d", throat, mouth);
  const std::string key = identifier + formants;
  // Loading costs milliseconds, a note's whole budget: only on a change. The
  // pitch is neutral while loading, as a high one shifts the loaded formants.
  if (key == m_loaded) return;
  espeak_SetParameter(espeakPITCH, 50, 0);
  m_loaded = load(identifier, throat, mouth) ? key : std::string();
}
