// The synthesis process: every espeak-ng call the speech engine needs is made
// here, so a fault in the engine ends this process and one utterance, not the
// host. Started by the engine with its socket on descriptor 3; see
// SynthesisProtocol.h for what travels over it.
#include "SynthesisProtocol.h"
#include "EspeakVoices.h"
#include "SungLyric.h"
#include "VowelMarks.h"

#include <espeak-ng/espeak_ng.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

using namespace glimm::protocol;

namespace {

constexpr int kFd = kSocketFd;

// Samples go out in batches: each message costs both processes a wake-up,
// which on a busy machine may wait for a time slice. The first chunk of a
// spoken job goes at once, so speech starts as soon as it can; the last
// goes out with the end marker.
constexpr size_t kBatchSamples = 8192;

struct Current {
  uint32_t id = 0;
  bool cancelled = false;
  bool quit = false;
  bool sentAny = false;
  bool whole = false;
  bool silent = false;  // a rehearsal: nothing is sent
  std::vector<short> pending;
  bool discard = false;  // counting syllables: the audio is not wanted
  // The phonemes so far, and the held vowel as the End message reports it.
  std::vector<glimm::PhonemeMark> phonemes;
  uint32_t vowelBegin = 0, vowelEnd = 0;
  bool diphthong = false;
} g_job;

glimm::SungLyric g_lyric;
std::string g_countedWith;  // the voice and mode g_lyric's counts hold for

[[noreturn]] void quit() {
  // Nothing to save: the engine holds all state. Skips espeak-ng's teardown.
  _exit(0);
}

// Between chunks: has the engine asked to stop this job (or everything)? The
// engine writes each message whole, so one that has begun arriving completes.
void checkForCancel() {
  for (;;) {
    pollfd p{kFd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return;
    Header h;
    std::vector<char> payload;
    if (readMessage(kFd, h, payload, fromEngine) != ReadResult::Ok) quit();
    Reader r(payload.data(), payload.size());
    uint32_t id = 0;
    if (h.type == Cancel && r.u32(id) && id == g_job.id) g_job.cancelled = true;
    if (h.type == Quit) g_job.quit = g_job.cancelled = true;
    // A job while one runs breaks the protocol.
    if (h.type == Job) quit();
  }
}

// Sends what is pending, and with `end` the job's end marker after it.
void flush(bool end) {
  const std::vector<short>& p = g_job.pending;
  for (size_t at = 0;;) {
    const size_t n = std::min(p.size() - at, size_t(kMaxChunkSamples));
    Writer w;
    if (n > 0) w.next(Samples).u32(g_job.id).raw(p.data() + at, n * sizeof(short));
    at += n;
    const bool last = at == p.size();
    if (last && end)
      w.next(End)
          .u32(g_job.id)
          .u32(g_job.cancelled ? uint32_t(Cancelled) : uint32_t(Done))
          .u32(g_job.vowelBegin)
          .u32(g_job.vowelEnd)
          .u32(g_job.diphthong ? uint32_t(EndDiphthong) : 0u);
    if (!w.send(kFd)) quit();
    if (last) break;
  }
  g_job.pending.clear();
  g_job.sentAny = true;
}

void notePhonemes(const espeak_EVENT* e) {
  for (; e && e->type != espeakEVENT_LIST_TERMINATED; ++e) {
    if (e->type != espeakEVENT_PHONEME) continue;
    glimm::PhonemeMark m;
    m.at = uint32_t(std::max(0, e->sample));
    m.vowel = glimm::ipaVowel(std::string_view(e->id.string, strnlen(e->id.string, sizeof e->id.string)), &m.diphthong);
    g_job.phonemes.push_back(m);
  }
}

int synthCallback(short* wav, int numSamples, espeak_EVENT* events) {
  if (g_job.cancelled) return 1;
  if (g_job.silent) return 0;
  notePhonemes(events);
  if (wav && numSamples > 0 && !g_job.discard) {
    g_job.pending.insert(g_job.pending.end(), wav, wav + numSamples);
    // A whole job is cut to its syllable at the end: all of it stays here.
    if (!g_job.whole && (!g_job.sentAny || g_job.pending.size() >= kBatchSamples)) flush(false);
  }
  checkForCancel();
  return g_job.cancelled ? 1 : 0;
}

// Phoneme mnemonics are read as such only between double brackets.
std::string bracketed(const std::string& text, bool phonetic) { return phonetic ? "[[" + text + "]]" : text; }

void synthesize(const std::string& text, bool phonetic) {
  const unsigned flags = espeakCHARS_UTF8 | (phonetic ? espeakPHONEMES : 0);
  espeak_ng_Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, flags, nullptr, nullptr);
}

// A word's syllables: the vowels the synthesiser says in it.
int countSyllables(const std::string& word, bool phonetic) {
  g_job.discard = true;
  g_job.phonemes.clear();
  synthesize(bracketed(word, phonetic), phonetic);
  g_job.discard = false;
  int n = 0;
  for (const glimm::PhonemeMark& m : g_job.phonemes) n += m.vowel;
  g_job.phonemes.clear();
  return n;
}

// A whole job's audio is cut to what its entry sings, with a short fade
// where the cut falls inside the word; the End message says where its
// vowel lies.
void cutToEntry(const glimm::SungEntry& entry) {
  std::vector<short>& p = g_job.pending;
  const glimm::SungSlice slice = sliceSyllable(g_job.phonemes, uint32_t(p.size()), entry);
  const uint32_t end = std::min<uint32_t>(slice.end, uint32_t(p.size()));
  const uint32_t begin = std::min(slice.begin, end);
  p.erase(p.begin() + end, p.end());
  p.erase(p.begin(), p.begin() + begin);
  // Samples at the engine's rate (22050 Hz): 3 ms in where the cut falls
  // inside the word; 8 ms out before the last audible sample, as the engine
  // stops a word's sound abruptly and a cut would click it off too.
  constexpr size_t kFadeIn = 64, kFadeOut = 176;
  for (size_t i = 0; begin > 0 && i < kFadeIn && i < p.size(); ++i) p[i] = short(p[i] * int(i) / int(kFadeIn));
  size_t last = p.size();
  while (last > 0 && std::abs(p[last - 1]) < 33) --last;
  for (size_t i = 0; i < kFadeOut && i < last; ++i) p[last - 1 - i] = short(p[last - 1 - i] * int(i) / int(kFadeOut));
  g_job.vowelBegin = std::min<uint32_t>(slice.vowelBegin, uint32_t(p.size()));
  g_job.vowelEnd = std::min<uint32_t>(slice.vowelEnd, uint32_t(p.size()));
  g_job.diphthong = slice.diphthong;
}

void runJob(EspeakVoices& voices, Reader& r) {
  int32_t rate = 0, pitch = 0, range = 0, volume = 0, throat = 100, mouth = 100, f0 = 0;
  uint32_t flags = 0, note = 0;
  std::string voice, text;
  if (!r.u32(g_job.id) || !r.i32(rate) || !r.i32(pitch) || !r.i32(range) || !r.i32(volume) || !r.i32(throat) ||
      !r.i32(mouth) || !r.i32(f0) || !r.u32(flags) || !r.u32(note) || !r.str(voice) || !r.str(text, kMaxText) ||
      !r.atEnd())
    quit();
  g_job.cancelled = false;
  g_job.sentAny = false;
  g_job.whole = (flags & Whole) != 0;
  g_job.pending.clear();
  g_job.phonemes.clear();
  g_job.vowelBegin = g_job.vowelEnd = 0;
  g_job.diphthong = false;
  // The engine's own limits, whatever arrived.
  voices.ensure(voice, std::clamp(throat, 10, 400), std::clamp(mouth, 10, 400), f0 > 0);
  espeak_SetParameter(espeakRATE, std::clamp(rate, 80, 449), 0);
  espeak_SetParameter(espeakPITCH, std::clamp(pitch, 0, 100), 0);
  espeak_SetParameter(espeakRANGE, std::clamp(range, 0, 100), 0);
  espeak_SetParameter(espeakVOLUME, std::clamp(volume, 0, 200), 0);
  espeak_SetParameter(espeakWORDGAP, 0, 0);
  espeak_SetParameter(espeakCAPITALS, 0, 0);
  espeak_SetParameter(espeakPUNCTUATION, espeakPUNCT_NONE, 0);
  espeak_ng_SetConstF0(std::clamp(f0, 0, 4000));
  // The engine reads up to the terminator, whatever size it is told.
  text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
  const bool phonetic = (flags & Phonetic) != 0;
  glimm::SungEntry entry{text, -1, false};
  if (flags & Lyric) {
    const std::string with = voice + (phonetic ? "\n[[" : "\n");
    if (with != g_countedWith) g_lyric.forget();
    g_countedWith = with;
    const auto count = [phonetic](const std::string& word) { return countSyllables(word, phonetic); };
    if (!g_lyric.entry(text, note, count, entry)) entry.text.clear();
    g_job.phonemes.clear();
    checkForCancel();
  }
  // A lyric's entries come bare; other texts as the engine prepared them.
  if (!entry.text.empty()) synthesize((flags & Lyric) ? bracketed(entry.text, phonetic) : entry.text, phonetic);
  if (g_job.cancelled) g_job.pending.clear();
  if (g_job.whole && !g_job.cancelled) cutToEntry(entry);
  flush(true);
  if (g_job.quit) quit();
}

void sendList(EspeakVoices& voices) {
  Writer w(Voices);
  w.u32(uint32_t(voices.list().size()));
  for (const SpeechVoiceInfo& e : voices.list()) w.str(e.name).str(e.identifier).str(e.description).str(e.languages);
  if (!w.send(kFd)) quit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], kEngineArg) != 0) {
    std::fprintf(stderr, "%s: the speech engine starts this program itself\n", argc > 0 ? argv[0] : "");
    return 2;
  }
  // Ends with the engine: at once if the thread that started it is gone.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::strtol(argv[2], nullptr, 10) != long(getppid())) return 0;
  // Only the socket and the standard streams: whatever else the host had open
  // is none of this process's business.
  ::close_range(kFd + 1, UINT_MAX, 0);

  EspeakVoices voices;
  if (!voices.start()) return 1;
  espeak_SetSynthCallback(&synthCallback);
  // The first voice load and the first utterance take long in a new process
  // (data read from disk, memory touched for the first time): both are done
  // now, before any request, so the first note is as quick as the rest.
  // Spoken and sung, as the two take different paths through the engine; the
  // sing voice stays loaded, since a note's budget is tighter than speech's.
  g_job.silent = true;
  for (int f0 : {0, 220}) {
    voices.ensure("", 100, 100, f0 > 0);
    espeak_ng_SetConstF0(f0);
    espeak_ng_Synthesize("la", 3, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr);
  }
  espeak_ng_SetConstF0(0);
  g_job.silent = false;

  if (!Writer(Hello).u32(kVersion).u32(uint32_t(voices.sampleRate())).send(kFd)) return 0;

  Header h;
  std::vector<char> payload;
  for (;;) {
    if (readMessage(kFd, h, payload, fromEngine) != ReadResult::Ok) quit();
    Reader r(payload.data(), payload.size());
    if (h.type == Job) runJob(voices, r);
    if (h.type == ListVoices) sendList(voices);
    if (h.type == Quit) quit();
    // A Cancel here names a job that has ended already.
  }
}
