#include "SpeechEngine.h"

#include "SpeechText.h"

#include <espeak-ng/espeak_ng.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <clocale>
#include <cmath>
#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace glimmspeech {

int espeakPitch(float pitch) { return int(std::lround(std::clamp(pitch, 0.0f, 255.0f) * 100.0 / 255.0)); }

int espeakRate(float speed) {
  // Exponential so that the slider spans the engine's whole usable range;
  // below 80 wpm the engine stays at 80, and 450 makes it speed up wrongly.
  const double s = std::clamp(double(speed), 20.0, 200.0);
  return int(std::lround(80.0 * std::pow(449.0 / 80.0, (s - 20.0) / 180.0)));
}

int formantPercent(float value) {
  // Exponential around 128 = 100 %: 50 % at 0, 199 % at 255. Scaling formants
  // towards 0 % makes the engine produce clipped noise instead of a voice.
  const double v = std::clamp(double(value), 0.0, 255.0);
  return int(std::lround(100.0 * std::pow(2.0, (v - 128.0) / 128.0)));
}

double noteForPitch(float pitch) { return 36.0 + std::clamp(double(pitch), 0.0, 255.0) * 48.0 / 255.0; }

int singHz(double note) {
  // The engine holds F0 only within its own range; hostile notes are kept in it.
  return int(std::lround(hzForNote(std::clamp(note, 24.0, 96.0))));
}

double singRatio(double note) { return hzForNote(std::clamp(note, 24.0, 96.0)) / singHz(note); }

double hzForNote(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

}  // namespace glimmspeech

using namespace glimmspeech;

namespace {

// Below this a sample counts as silence: about -60 dBFS.
constexpr float kSilent = 1e-3f;
// The engine runs at this volume, where loud vowels at extreme formant
// settings still stay clear of its own 16-bit ceiling; the gain brings the
// level back to what the engine gives at its default volume of 100.
constexpr int kEngineVolume = 50;
constexpr double kMakeupGain = 100.0 / kEngineVolume;
// A sung word is brought to the RMS of speech at the defaults, since the
// engine's loudness swings by 15 dB and more with the held F0 and the vowel.
constexpr double kSungRms = 0.089;

// RBJ biquad, direct form I, in double so low cut-offs at high rates stay stable.
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

  void set(bool highPass, double hz, double q, double rate) {
    const double w = 2 * M_PI * std::min(hz, 0.45 * rate) / rate;
    const double alpha = std::sin(w) / (2 * q), c = std::cos(w), a0 = 1 + alpha;
    if (highPass) {
      b0 = (1 + c) / 2 / a0, b1 = -(1 + c) / a0, b2 = b0;
    } else {
      b0 = (1 - c) / 2 / a0, b1 = (1 - c) / a0, b2 = b0;
    }
    a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    x1 = x2 = y1 = y2 = 0;
  }
  double operator()(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
};

// Shapes the resampled engine output into what the voice plays: the level,
// the small-speaker filter when asked, a soft ceiling below full scale, and
// the silence before the first sound and after the last one cut away (so an
// utterance's first sample is its first audible one, and nothing trails it).
class OutputShaper {
 public:
  void reset(double rate, double gain, bool filter) {
    m_gain = gain;
    m_filter = filter;
    m_started = false;
    m_held.clear();
    if (!filter) return;
    // The chip's sound through a television: the set's small speaker loses
    // the bass, the chip runs at about 10 kHz with 8-bit samples, and its
    // output filter rolls off steeply above 3.3 kHz with a gentle peak there.
    m_highPass.set(true, 150, 0.707, rate);
    m_lowPass[0].set(false, 3300, 0.52, rate);
    m_lowPass[1].set(false, 3300, 0.71, rate);
    m_lowPass[2].set(false, 3300, 1.6, rate);
    m_holdStep = std::min(1.0, 10000.0 / rate);
    m_holdPhase = 1.0;
    m_holdValue = 0;
  }

  void setGain(double gain) { m_gain = gain; }

  // Shapes n samples in place and hands what is to be heard to `emit`, in
  // order: leading silence is dropped, a quiet run is held back until
  // something loud follows it. False as soon as `emit` refuses.
  template <typename Emit>
  bool process(float* x, size_t n, Emit&& emit) {
    size_t from = 0;
    for (size_t i = 0; i < n; ++i) {
      const float y = shape(x[i]);
      x[i] = y;
      const bool loud = std::fabs(y) > kSilent;
      if (!m_started) {
        if (!loud) {
          from = i + 1;
          continue;
        }
        m_started = true;
      }
      if (!loud) {
        // A quiet run is held back until something loud follows it.
        if (i > from && !emit(x + from, i - from)) return false;
        m_held.push_back(y);
        from = i + 1;
        continue;
      }
      if (!m_held.empty()) {
        if (!emit(m_held.data(), m_held.size())) return false;
        m_held.clear();
      }
    }
    return n <= from || emit(x + from, n - from);
  }

 private:
  float shape(float in) {
    double v = double(in) * m_gain;
    if (m_filter) {
      v = m_highPass(v);
      m_holdPhase += m_holdStep;
      if (m_holdPhase >= 1.0) {
        m_holdPhase -= 1.0;
        m_holdValue = std::round(std::clamp(v, -1.0, 1.0) * 128.0) / 128.0;
      }
      v = m_holdValue;
      for (Biquad& b : m_lowPass) v = b(v);
    }
    // Soft ceiling: untouched up to 0.7, then bent towards 0.99.
    const double a = std::fabs(v);
    if (a > 0.7) v = std::copysign(0.7 + 0.29 * std::tanh((a - 0.7) / 0.29), v);
    return float(v);
  }

  double m_gain = 1;
  bool m_filter = false;
  bool m_started = false;
  std::vector<float> m_held;
  Biquad m_highPass, m_lowPass[3];
  double m_holdStep = 1, m_holdPhase = 1, m_holdValue = 0;
};

}  // namespace

class SpeechEngine {
 public:
  static SpeechEngine& instance();

  void add(const std::shared_ptr<SpeechVoice>& v) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_voices.push_back(v);
      startLocked();
    }
    // A new voice is about to render: the worker should be listening.
    wake();
  }

  void remove(SpeechVoice* v) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_voices.erase(std::remove_if(m_voices.begin(), m_voices.end(),
                                  [v](const std::shared_ptr<SpeechVoice>& p) { return p.get() == v; }),
                   m_voices.end());
  }

  std::mutex& mutex() { return m_mutex; }

  // Starts the worker if need be and waits until it has started the engine,
  // which lists the voices. The list never changes after that.
  const std::vector<SpeechVoiceInfo>& voiceList() {
    static const std::vector<SpeechVoiceInfo> none;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_listed) return m_voiceList;
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) return none;
    startLocked();
    m_wantList = true;
    lock.unlock();
    wake();
    lock.lock();
    // Bounded: a worker that cannot start must not hang the caller.
    m_listedChanged.wait_for(lock, std::chrono::seconds(10), [this] { return m_listed || m_quit; });
    return m_listed ? m_voiceList : none;
  }

  // Control threads: wakes the worker at once (one system call).
  void wake() {
    const uint64_t one = 1;
    ssize_t r = ::write(m_eventFd, &one, sizeof one);
    (void)r;
  }

  // Render thread: lock-free and, while audio runs, free of system calls. The
  // worker polls the flag every kPollInterval as long as some voice rendered
  // within kActiveWindow; only a post that finds it asleep on the descriptor
  // (after that long without a render call) has to wake it the costly way.
  void post() {
    m_posted.store(true);
    if (m_asleep.load()) wake();
  }

  // Render thread: tells the worker that audio is running.
  void rendered() { m_renderTicks.fetch_add(1, std::memory_order_relaxed); }

 private:
  SpeechEngine() {
    m_eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The engine is initialised once per process: keep the library loaded when
    // this module is unloaded, so a reloaded module finds it ready (and its
    // memory stays reachable) instead of initialising it again. Done here, on
    // the caller's thread: the worker must never wait for the loader's lock,
    // which an unloading module holds while it joins the worker.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&espeak_ng_Initialize), &info) && info.dli_fname) {
      if (void* pin = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(pin);
    }
  }

  ~SpeechEngine() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_quit = true;
    }
    wake();
    if (m_thread.joinable()) m_thread.join();
    if (m_eventFd >= 0) ::close(m_eventFd);
    if (!m_variantDir.empty()) ::rmdir(m_variantDir.c_str());
    if (m_workerLocale) freelocale(m_workerLocale);
  }

  void startLocked() {
    if (!m_thread.joinable() && m_eventFd >= 0) m_thread = std::thread([this] { run(); });
  }

  static constexpr auto kPollInterval = std::chrono::milliseconds(1);
  static constexpr auto kActiveWindow = std::chrono::milliseconds(500);

  // Worker: returns once a control thread woke it or the render side posted.
  // While audio runs it naps kPollInterval at a time on the descriptor, so a
  // control call still wakes it at once; with audio stopped it sleeps until a
  // control call, and an idle process sees no wake-ups from it.
  void waitForWake() {
    using Clock = std::chrono::steady_clock;
    for (;;) {
      if (m_posted.exchange(false)) return;
      const Clock::time_point now = Clock::now();
      const uint64_t ticks = m_renderTicks.load(std::memory_order_relaxed);
      if (ticks != m_seenTicks) {
        m_seenTicks = ticks;
        m_activeSince = now;
      }
      pollfd p{m_eventFd, POLLIN, 0};
      if (now - m_activeSince < kActiveWindow) {
        if (::poll(&p, 1, int(kPollInterval.count())) > 0) break;
        continue;
      }
      // Announce the sleep before the last look at the flag: a post either
      // lands before that look or sees m_asleep and writes the descriptor.
      m_asleep.store(true);
      if (m_posted.exchange(false)) {
        m_asleep.store(false);
        return;
      }
      while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      m_asleep.store(false);
      break;
    }
    uint64_t v;
    (void)::read(m_eventFd, &v, sizeof v);
    // A control call usually means audio is about to run (a unit initialised,
    // a play request): stay attentive from here on.
    m_activeSince = Clock::now();
    m_seenTicks = m_renderTicks.load(std::memory_order_relaxed);
  }

  bool quitting() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_quit;
  }

  void run() {
    // The first voice load takes the engine long (its data is read from disk):
    // done here, before any request, so the first note is as quick as the rest.
    if (ensureEspeak()) ensureVoice(SpeechSettings{});
    for (;;) {
      waitForWake();
      if (quitting()) return;
      if (listWanted()) ensureEspeak();
      serviceDeferred();
      while (std::shared_ptr<SpeechVoice> v = takeJob()) {
        runJob(*v);
        v->notifyProgress();
        serviceDeferred();
        if (quitting()) return;
      }
    }
  }

  bool listWanted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wantList && !m_listed;
  }

  std::vector<std::shared_ptr<SpeechVoice>> voices() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_voices;
  }

  void serviceDeferred() {
    for (const auto& v : voices()) {
      const uint32_t flags = v->m_deferred.exchange(0);
      if (!flags) continue;
      {
        std::lock_guard<std::mutex> lock(v->m_clientMutex);
        if (v->m_client) v->m_client->serviceDeferred(flags);
      }
      v->notifyProgress();
    }
  }

  std::shared_ptr<SpeechVoice> takeJob() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_quit) return nullptr;
    // Round robin, so one busy voice cannot starve the others.
    for (size_t i = 0; i < m_voices.size(); ++i) {
      const size_t k = (m_nextVoice + i) % m_voices.size();
      auto& v = m_voices[k];
      if (v->m_hasJob) {
        v->m_hasJob = false;
        m_current = std::move(v->m_job);
        v->m_job = {};
        v->m_running = true;
        v->m_runningFrame = m_current.settings.startFrame;
        v->m_runningStart = UINT64_MAX;
        m_nextVoice = k + 1;
        return v;
      }
    }
    return nullptr;
  }

  // ---- espeak-ng, on the worker thread only -------------------------------

  bool ensureEspeak() {
    if (m_espeakTried) return m_espeakOk;
    m_espeakTried = true;
    m_espeakOk = startEspeak();
    std::vector<SpeechVoiceInfo> list;
    if (m_espeakOk) list = listVoices();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_voiceList = std::move(list);
      m_listed = true;
    }
    m_listedChanged.notify_all();
    return m_espeakOk;
  }

  bool startEspeak() {
    // Initialisation switches the process's LC_CTYPE; the host owns that, so
    // it is put back, and only this thread gets the UTF-8 character type.
    m_workerLocale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (m_workerLocale) uselocale(m_workerLocale);
    if (espeak_ng_GetSampleRate() <= 0) {
      const char* ctype = std::setlocale(LC_CTYPE, nullptr);
      const std::string savedCtype = ctype ? ctype : "C";
      espeak_ng_InitializePath(nullptr);
      espeak_ng_ERROR_CONTEXT context = nullptr;
      const espeak_ng_STATUS status = espeak_ng_Initialize(&context);
      if (context) espeak_ng_ClearErrorContext(&context);
      std::setlocale(LC_CTYPE, savedCtype.c_str());
      if (status != ENS_OK) return false;
      if (espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr) != ENS_OK) return false;
    }
    espeak_SetSynthCallback(&SpeechEngine::synthCallback);
    m_espeakRate = espeak_ng_GetSampleRate();
    m_variantDir = makeVariantDir();
    const char* dataPath = nullptr;
    espeak_Info(&dataPath);
    if (dataPath) m_dataPath = dataPath;
    return m_espeakRate > 0;
  }

  // Every voice the engine lists (variants and external voices it leaves out),
  // but those that crash it on ordinary text (found by fuzzing): with Danish
  // and Vietnamese, ":-a" makes espeak-ng 1.51 read through a wild pointer;
  // with Korean, "¨©" makes it read freed memory.
  static std::vector<SpeechVoiceInfo> listVoices() {
    static const char* const kFaulty[] = {"gmq/da", "aav/vi", "aav/vi-VN-x-central", "aav/vi-VN-x-south", "ko"};
    std::vector<SpeechVoiceInfo> list;
    const espeak_VOICE** voices = espeak_ListVoices(nullptr);
    for (size_t i = 0; voices && voices[i]; ++i) {
      const espeak_VOICE& v = *voices[i];
      if (!v.identifier || !v.name) continue;
      if (std::any_of(std::begin(kFaulty), std::end(kFaulty),
                      [&](const char* f) { return !std::strcmp(f, v.identifier); }))
        continue;
      SpeechVoiceInfo info;
      info.identifier = v.identifier;
      info.description = v.name;
      const size_t slash = info.identifier.rfind('/');
      info.name = slash == std::string::npos ? info.identifier : info.identifier.substr(slash + 1);
      for (char& c : info.name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      // Languages: a priority byte, then a NUL-terminated name, until an empty name.
      for (const char* p = v.languages; p && p[0] && p[1]; p += std::strlen(p + 1) + 2) {
        if (!info.languages.empty()) info.languages += ' ';
        info.languages += p + 1;
      }
      list.push_back(std::move(info));
    }
    return list;
  }

  const SpeechVoiceInfo* voiceNamed(const std::string& name) const {
    for (const SpeechVoiceInfo& v : m_voiceList)
      if (v.name == name) return &v;
    return nullptr;
  }

  // The voice file's own lines, so a private variant keeps the language's
  // rules; empty when it cannot be read.
  std::string voiceFileText(const std::string& identifier) const {
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

  // The voice-file loader lower-cases its path, reads '+' as a variant and
  // limits the path to 59 bytes, so the private folder gets a short
  // lower-case name of our own making: under TMPDIR when its path survives
  // that, under /tmp otherwise.
  static std::string variantBase() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp ? tmp : "";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const size_t rest = std::strlen("/glimm-speech-0123456789/v");
    const bool usable =
        !base.empty() && base[0] == '/' && base.size() + rest <= 59 &&
        std::all_of(base.begin(), base.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-';
        });
    return usable ? base : "/tmp";
  }

  static std::string makeVariantDir() {
    std::random_device rd;
    std::mt19937 gen(rd());
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<int> pick(0, int(sizeof alphabet) - 2);
    const std::string base = variantBase();
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string dir = base + "/glimm-speech-";
      for (int i = 0; i < 10; ++i) dir += alphabet[pick(gen)];
      if (::mkdir(dir.c_str(), 0700) == 0) return dir;
      if (errno != EEXIST) break;
    }
    return {};
  }

  bool loadVoice(const SpeechSettings& s) {
    const SpeechVoiceInfo* voice = voiceNamed(s.voice.empty() ? std::string("en") : s.voice);
    if (!voice) voice = voiceNamed("en");
    const std::string identifier = voice ? voice->identifier : std::string("en");
    const int throat = formantPercent(s.throat);
    const int mouth = formantPercent(s.mouth);
    if (!m_variantDir.empty() && (throat != 100 || mouth != 100)) {
      // The voice's own file with the formants scaled: a variant for any language.
      std::string text = voiceFileText(identifier);
      if (text.empty()) text = "name glimm\nlanguage en\ntunes s1 c1 q1 e1\n";
      const std::string path = m_variantDir + "/v";
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        char line[64];
        for (int f = 0; f <= 8; ++f) {
          std::snprintf(line, sizeof line, "formant %d %d -1 -1\n", f, f <= 2 ? throat : mouth);
          text += line;
        }
        const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
        ::close(fd);
        const bool loaded = written && espeak_ng_SetVoiceByFile(path.c_str()) == ENS_OK;
        ::unlink(path.c_str());
        if (loaded) return true;
      }
    }
    return espeak_ng_SetVoiceByName(identifier.c_str()) == ENS_OK || espeak_ng_SetVoiceByName("en") == ENS_OK;
  }

  // Loading a voice costs milliseconds, a note's whole budget: it happens only
  // when the voice or the formants change. The pitch is neutral while loading,
  // as a high one shifts the formants of the loaded voice.
  void ensureVoice(const SpeechSettings& s) {
    // snprintf, not std::to_string: the latter's digit table is a unique
    // symbol, which would keep this module from ever being unloaded.
    char formants[32];
    std::snprintf(formants, sizeof formants, "/%d/%d", formantPercent(s.throat), formantPercent(s.mouth));
    const std::string key = (s.voice.empty() ? std::string("en") : s.voice) + formants;
    if (key == m_loadedVoice) return;
    espeak_SetParameter(espeakPITCH, 50, 0);
    m_loadedVoice = loadVoice(s) ? key : std::string();
  }

  struct JobRun {
    SpeechEngine* engine = nullptr;
    SpeechVoice* voice = nullptr;
    uint64_t generation = 0;
    soxr_t resampler = nullptr;
    std::vector<float> out;
    bool cancelled = false;
    bool collect = false;  // sung: kept whole to set its level
    std::vector<float> whole;
    OutputShaper* shaper = nullptr;
  };

  void runJob(SpeechVoice& v) {
    const SpeechVoice::Job job = std::move(m_current);
    if (job.generation != v.m_generation.load()) {
      v.m_running = false;
      return;
    }
    const SpeechSettings& s = job.settings;
    // The render thread fades out what still plays and moves on to this
    // utterance's audio, which begins at the ring's current end.
    const uint64_t start = v.m_ring.writeIndex();
    v.publishSegment({start, s.startFrame, s.noteId, s.sing ? singRatio(s.singNote) : 1.0});
    v.m_runningStart = start;
    if (job.text.empty() || !ensureEspeak()) {
      v.m_running = false;
      return;
    }
    // Every setting is applied afresh, so nothing one job did can leak into the next.
    ensureVoice(s);
    espeak_SetParameter(espeakRATE, espeakRate(s.speed), 0);
    espeak_SetParameter(espeakPITCH, espeakPitch(s.pitch), 0);
    espeak_SetParameter(espeakRANGE, 50, 0);
    espeak_SetParameter(espeakVOLUME, kEngineVolume, 0);
    espeak_SetParameter(espeakWORDGAP, 0, 0);
    espeak_SetParameter(espeakCAPITALS, 0, 0);
    espeak_SetParameter(espeakPUNCTUATION, espeakPUNCT_NONE, 0);
    espeak_ng_SetConstF0(s.sing ? singHz(s.singNote) : 0);
    // Phoneme mnemonics are read as such only between double brackets.
    const std::string text = s.phonetic ? "[[" + glimmPhonemeText(job.text) + "]]" : job.text;
    const unsigned flags = espeakCHARS_UTF8 | (s.phonetic ? espeakPHONEMES : 0);
    // Lowered formants make the engine louder (throat 0: 5 dB, mouth 0:
    // 3 dB); that much is taken back, so the extremes keep their headroom.
    const double formants = std::min(1.0, std::pow(formantPercent(s.throat) / 100.0, 0.8)) *
                            std::min(1.0, std::pow(formantPercent(s.mouth) / 100.0, 0.45));
    const double velocity = std::clamp(s.level, 0.0, 1.0);
    m_shaper.reset(v.m_rate, kMakeupGain * velocity * formants, s.filter);

    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t err = nullptr;
    JobRun run;
    run.engine = this;
    run.voice = &v;
    run.generation = job.generation;
    run.resampler = soxr_create(m_espeakRate, v.m_rate, 1, &err, &io, &quality, nullptr);
    if (err || !run.resampler) {
      v.m_running = false;
      return;
    }
    run.collect = s.sing;
    run.shaper = &m_shaper;
    m_run = &run;
    espeak_ng_Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, flags, nullptr, nullptr);
    if (!run.cancelled) resample(run, nullptr, 0);
    if (!run.cancelled && run.collect) {
      m_shaper.setGain(sungGain(run.whole) * velocity);
      run.collect = false;
      shapeAndPush(run, run.whole.data(), run.whole.size());
    }
    m_run = nullptr;
    soxr_delete(run.resampler);
    v.m_running = false;
  }

  // The gain that brings a sung utterance, from its first loud sample to its
  // last, to kSungRms.
  static double sungGain(const std::vector<float>& x) {
    size_t first = x.size(), last = 0;
    for (size_t i = 0; i < x.size(); ++i)
      if (std::fabs(x[i]) > 0.005f) {
        first = std::min(first, i);
        last = i;
      }
    if (first > last) return kMakeupGain;
    double e = 0;
    for (size_t i = first; i <= last; ++i) e += double(x[i]) * x[i];
    return std::clamp(kSungRms / std::sqrt(e / double(last - first + 1)), 0.25, 8.0);
  }

  bool shapeAndPush(JobRun& run, float* data, size_t n) {
    if (run.collect) {
      run.whole.insert(run.whole.end(), data, data + n);
      return !cancelled(run);
    }
    return run.shaper->process(data, n, [&](const float* p, size_t k) { return push(run, p, k); });
  }

  bool cancelled(JobRun& run) {
    if (!run.cancelled && (run.generation != run.voice->m_generation.load() || quitting())) run.cancelled = true;
    return run.cancelled;
  }

  // Feeds samples (or, with in == nullptr, the end of input) through the
  // resampler into the voice's ring, waiting for room when the ring is full.
  void resample(JobRun& run, const short* in, size_t n) {
    const double ratio = run.voice->m_rate / m_espeakRate;
    const size_t cap = size_t(std::ceil((n + 64) * ratio)) + 256;
    if (run.out.size() < cap) run.out.resize(cap);
    for (;;) {
      size_t used = 0, produced = 0;
      if (soxr_process(run.resampler, in, n, &used, run.out.data(), run.out.size(), &produced)) return;
      if (!shapeAndPush(run, run.out.data(), produced)) return;
      if (in && used == 0 && produced == 0) return;
      in = in ? in + used : nullptr;
      n -= used;
      // At the end, drain until the resampler has nothing left.
      if (in ? n == 0 : produced == 0) return;
    }
  }

  bool push(JobRun& run, const float* data, size_t n) {
    SpeechVoice& v = *run.voice;
    while (n > 0) {
      if (cancelled(run)) return false;
      const size_t k = v.m_ring.write(data, n);
      data += k;
      n -= k;
      if (k > 0) v.notifyProgress();
      if (n == 0) break;
      v.m_needSpace = true;
      if (v.m_ring.freeSpace() > 0) continue;
      waitForWake();
      // Requests that arrive meanwhile may cancel this job.
      serviceDeferred();
    }
    return true;
  }

  static int synthCallback(short* wav, int numSamples, espeak_EVENT*) {
    SpeechEngine& e = instance();
    JobRun* run = e.m_run;
    if (!run) return 1;
    if (e.cancelled(*run)) return 1;
    if (wav && numSamples > 0) e.resample(*run, wav, size_t(numSamples));
    return e.cancelled(*run) ? 1 : 0;
  }

  std::mutex m_mutex;
  std::vector<std::shared_ptr<SpeechVoice>> m_voices;
  size_t m_nextVoice = 0;
  bool m_quit = false;
  int m_eventFd = -1;
  std::thread m_thread;
  std::atomic<bool> m_posted{false};
  std::atomic<bool> m_asleep{false};
  std::atomic<uint64_t> m_renderTicks{0};

  // Worker thread only: when it last saw audio running.
  uint64_t m_seenTicks = 0;
  std::chrono::steady_clock::time_point m_activeSince{};

  bool m_wantList = false;
  bool m_listed = false;
  std::vector<SpeechVoiceInfo> m_voiceList;  // written once, before m_listed
  std::condition_variable m_listedChanged;

  // Worker thread only.
  SpeechVoice::Job m_current;
  JobRun* m_run = nullptr;
  bool m_espeakTried = false;
  bool m_espeakOk = false;
  int m_espeakRate = 22050;
  std::string m_variantDir;
  std::string m_dataPath;
  locale_t m_workerLocale = nullptr;
  std::string m_loadedVoice;  // what ensureVoice loaded last; empty: nothing
  OutputShaper m_shaper;
};

// Out of line: an inline function's static would be a unique symbol, and
// those keep the module from ever being unloaded.
SpeechEngine& SpeechEngine::instance() {
  static SpeechEngine engine;
  return engine;
}

const std::vector<SpeechVoiceInfo>& glimmspeech::installedVoices() { return SpeechEngine::instance().voiceList(); }

const SpeechVoiceInfo* glimmspeech::findInstalledVoice(std::string_view name) {
  auto same = [](std::string_view a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
             return lower(x) == lower(y);
           });
  };
  if (name.empty()) return nullptr;
  const std::vector<SpeechVoiceInfo>& voices = installedVoices();
  // The engine's own order of preference: a description, a file, a short name.
  for (const SpeechVoiceInfo& v : voices)
    if (same(name, v.description)) return &v;
  for (const SpeechVoiceInfo& v : voices)
    if (same(name, v.identifier)) return &v;
  for (const SpeechVoiceInfo& v : voices)
    if (same(name, v.name)) return &v;
  return nullptr;
}

// ---- SpeechVoice ----------------------------------------------------------

namespace {
// One 256-frame block at 48 kHz: a sound starts in the block after its event,
// at the event's offset, and its worker has that block's period to get ready.
uint64_t minimumLatency(double rate) { return std::max<uint64_t>(1, uint64_t(std::lround(rate * 256.0 / 48000.0))); }
// Blocks longer than this do not lengthen the latency further.
constexpr uint64_t kLatencyLimit = 16384;
}  // namespace

SpeechVoice::SpeechVoice(SpeechEngine* engine, double sampleRate, SpeechVoiceClient* client)
    : m_engine(engine),
      m_rate(sampleRate),
      m_ring(kRingFrames),
      m_client(client),
      m_latency(minimumLatency(sampleRate)) {}

std::shared_ptr<SpeechVoice> SpeechVoice::create(double sampleRate, SpeechVoiceClient* client) {
  if (!(sampleRate >= 1000.0 && sampleRate <= 1.0e6)) return nullptr;
  SpeechEngine& engine = SpeechEngine::instance();
  std::shared_ptr<SpeechVoice> v(new SpeechVoice(&engine, sampleRate, client));
  engine.add(v);
  return v;
}

SpeechVoice::~SpeechVoice() = default;

void SpeechVoice::detach() {
  stop();
  m_engine->remove(this);
  std::lock_guard<std::mutex> lock(m_clientMutex);
  m_client = nullptr;
}

void SpeechVoice::speak(std::string preparedText, const SpeechSettings& settings) {
  // The old utterance fades out on the render thread's next block: cutting
  // it here would click.
  m_supersedeSeq.fetch_add(1, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(m_engine->mutex());
    m_job.text = std::move(preparedText);
    m_job.settings = settings;
    m_job.generation = ++m_generation;
    m_hasJob = true;
  }
  m_engine->wake();
}

void SpeechVoice::stop() {
  {
    std::lock_guard<std::mutex> lock(m_engine->mutex());
    ++m_generation;
    m_hasJob = false;
    m_job = {};
  }
  m_ring.discardWritten();
  m_stopSeq.fetch_add(1, std::memory_order_release);
  m_holding.store(false, std::memory_order_release);  // dropped by the next render
  m_engine->wake();
}

void SpeechVoice::publishSegment(const Segment& s) {
  // Only the worker publishes: an odd count marks the fields as being written.
  const uint32_t seq = m_segSeq.load(std::memory_order_relaxed);
  m_segSeq.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  m_segStart.store(s.start, std::memory_order_relaxed);
  m_segFrame.store(s.startFrame, std::memory_order_relaxed);
  m_segNote.store(s.noteId, std::memory_order_relaxed);
  m_segRate.store(s.rate, std::memory_order_relaxed);
  m_segSeq.store(seq + 2, std::memory_order_release);
}

bool SpeechVoice::readSegment(Segment& s, uint32_t& seq) const {
  seq = m_segSeq.load(std::memory_order_acquire);
  if (seq & 1) return false;
  s.start = m_segStart.load(std::memory_order_relaxed);
  s.startFrame = m_segFrame.load(std::memory_order_relaxed);
  s.noteId = m_segNote.load(std::memory_order_relaxed);
  s.rate = m_segRate.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  // Torn by a publication in between: the next block reads it again.
  return m_segSeq.load(std::memory_order_relaxed) == seq;
}

void SpeechVoice::switchSegment(const Segment& s, uint32_t seq) {
  m_seenSeq = seq;
  m_switchNow = false;
  m_oldEnd = UINT64_MAX;
  // Audio of this utterance may already be in the local buffer; what lies
  // before its start belongs to ones that are over.
  const size_t held = m_inputLen - m_inputPos;
  if (s.start >= m_inputAt && s.start - m_inputAt <= held) {
    m_inputPos += size_t(s.start - m_inputAt);
  } else {
    m_inputPos = m_inputLen = 0;
    m_ring.skipTo(s.start);
  }
  m_inputAt = s.start;
  m_x0 = m_x1 = 0;
  m_frac = 0;
  m_primed = false;
  m_gate = s.startFrame;
  m_noteId = s.noteId;
  m_segment = s;
  m_ratio = m_bend * s.rate;
  m_env = 1;
  m_envStep = 0;
  const bool released = s.noteId != 0 && s.noteId <= m_releasedId && m_frame >= m_releaseFrame;
  m_play = released || seq <= m_cutSeq ? Play::Muted : Play::Playing;
}

void SpeechVoice::release(uint32_t noteId, uint64_t atFrame) {
  m_releasedId = std::max(m_releasedId, noteId);
  m_releaseFrame = atFrame;
}

void SpeechVoice::cutAll(uint32_t lastNoteId) {
  m_releasedId = std::max(m_releasedId, lastNoteId);
  m_releaseFrame = 0;
  uint32_t seq = 0;
  Segment s;
  // Also what the worker has announced but this thread not yet taken up.
  m_cutSeq = readSegment(s, seq) ? seq : m_segSeq.load(std::memory_order_acquire) + 1;
  if (m_play == Play::Playing || m_play == Play::Switching || m_play == Play::Releasing) {
    m_play = Play::Releasing;
    m_envStep = -float(1.0 / std::max(1.0, m_rate * 0.001));
  }
}

void SpeechVoice::setBend(double semitones) {
  m_bend = std::pow(2.0, std::clamp(semitones, -12.0, 12.0) / 12.0);
  m_ratio = m_bend * m_segment.rate;
}

bool SpeechVoice::takeInput(size_t k, float* x) {
  if (m_inputLen - m_inputPos < k) {
    // Keep what is left and top up from the ring.
    const size_t left = m_inputLen - m_inputPos;
    std::memmove(m_input, m_input + m_inputPos, left * sizeof(float));
    m_inputPos = 0;
    if (left == 0) m_inputAt = m_ring.readIndex();
    m_inputLen = left + m_ring.read(m_input + left, kInputFrames - left);
    // The worker announces an utterance before writing it: audio read past
    // the start of one announced meanwhile is that utterance's, kept for it.
    noticeSegment();
  }
  // What plays stops where the next utterance begins.
  const uint64_t mine = std::min<uint64_t>(m_inputLen - m_inputPos, m_oldEnd - std::min(m_oldEnd, m_inputAt));
  if (mine < k) return false;
  for (size_t i = 0; i < k; ++i) x[i] = m_input[m_inputPos++];
  m_inputAt += k;
  return true;
}

void SpeechVoice::noticeSegment() {
  Segment seg;
  uint32_t seq = 0;
  if (!readSegment(seg, seq) || seq == m_seenSeq || seq == m_pendingSeq) return;
  m_pending = seg;
  m_pendingSeq = seq;
  m_oldEnd = std::min(m_oldEnd, seg.start);
  const bool more = m_inputLen > m_inputPos || m_ring.readIndex() < m_oldEnd;
  if (m_play == Play::Switching) return;
  if ((m_play == Play::Playing || m_play == Play::Releasing) && m_frame >= m_gate && m_env > 0 && more) {
    // What plays fades out over a millisecond before the new audio takes over.
    m_play = Play::Switching;
    m_envStep = -float(1.0 / std::max(1.0, m_rate * 0.001));
  } else {
    m_switchNow = true;
  }
}

size_t SpeechVoice::render(float* out, size_t frames) {
  m_engine->rendered();
  if (frames > m_latency.load(std::memory_order_relaxed) && frames <= kLatencyLimit)
    m_latency.store(frames, std::memory_order_relaxed);
  const uint32_t stops = m_stopSeq.load(std::memory_order_acquire);
  if (stops != m_seenStops) {
    m_seenStops = stops;
    m_inputPos = m_inputLen = 0;
    m_play = Play::Idle;
  }
  const uint32_t supersede = m_supersedeSeq.load(std::memory_order_acquire);
  if (supersede != m_seenSupersede) {
    m_seenSupersede = supersede;
    if (m_play == Play::Playing || m_play == Play::Releasing) {
      m_play = Play::Releasing;
      m_envStep = -float(1.0 / std::max(1.0, m_rate * 0.001));
    }
  }
  noticeSegment();
  const float releaseStep = -float(1.0 / std::max(1.0, m_rate * 0.01));
  size_t lastSound = 0;
  for (size_t i = 0; i < frames; ++i) {
    out[i] = 0;
    if (m_switchNow) switchSegment(m_pending, m_pendingSeq);
    const uint64_t now = m_frame + i;
    if (m_play == Play::Idle || m_play == Play::Muted || now < m_gate) continue;
    if (m_play == Play::Playing && m_noteId != 0 && m_noteId <= m_releasedId && now >= m_releaseFrame) {
      m_play = Play::Releasing;
      m_envStep = releaseStep;
    }
    // Linear interpolation at the bend's rate; without a bend it is a copy.
    // An utterance starts on its first two samples, so its first sound is due
    // exactly at the gate.
    const double f = m_primed ? m_frac + m_ratio : 0.0;
    const size_t k = m_primed ? size_t(f) : 2;
    float x[4];
    if (k > 0 && !takeInput(std::min<size_t>(k, 4), x)) {
      // Nothing more to play (yet): a fade in progress has nothing left to fade.
      if (m_play == Play::Switching) {
        switchSegment(m_pending, m_pendingSeq);
      } else if (m_play == Play::Releasing) {
        m_play = Play::Muted;
        m_inputPos = m_inputLen = 0;
      }
      continue;
    }
    if (k >= 2)
      m_x0 = x[std::min<size_t>(k, 4) - 2];
    else if (k == 1)
      m_x0 = m_x1;
    if (k >= 1) m_x1 = x[std::min<size_t>(k, 4) - 1];
    m_frac = m_primed ? f - double(k) : 0.0;
    m_primed = true;
    float y = m_x0 + (m_x1 - m_x0) * float(m_frac);
    if (m_play != Play::Playing) {
      m_env += m_envStep;
      if (m_env <= 0) {
        m_env = 0;
        if (m_play == Play::Switching) {
          switchSegment(m_pending, m_pendingSeq);
        } else {
          m_play = Play::Muted;
          m_inputPos = m_inputLen = 0;
        }
      }
    }
    y *= m_env;
    out[i] = y;
    lastSound = i + 1;
  }
  // A muted utterance's audio is dropped as it arrives, up to where the next
  // one begins (looked up after the write index: announcing comes first).
  if (m_play == Play::Muted) {
    const uint64_t written = m_ring.writeIndex();
    noticeSegment();
    m_ring.skipTo(std::min(written, m_oldEnd));
  }
  const bool holding = m_play != Play::Idle && m_play != Play::Muted && m_inputLen > m_inputPos;
  m_holding.store(holding, std::memory_order_release);
  m_frame += frames;
  m_publishedFrame.store(m_frame, std::memory_order_relaxed);
  if (m_needSpace.load(std::memory_order_relaxed) && m_ring.readable() < m_ring.capacity() / 2 &&
      m_needSpace.exchange(false))
    m_engine->post();
  return lastSound;
}

void SpeechVoice::notifyProgress() {
  // Free of system calls unless a render thread waits (only offline).
  if (m_waiters.load() == 0) return;
  std::lock_guard<std::mutex> lock(m_waitMutex);
  m_progress.notify_all();
}

bool SpeechVoice::readyFor(uint64_t blockEnd) {
  bool queued = false, running = false;
  uint64_t queuedFrame = 0, runningFrame = 0;
  {
    std::lock_guard<std::mutex> lock(m_engine->mutex());
    queued = m_hasJob;
    queuedFrame = m_job.settings.startFrame;
    running = m_running.load();
    runningFrame = m_runningFrame;
  }
  if (queued && queuedFrame < blockEnd) return false;
  if (!running || runningFrame >= blockEnd) return true;
  const uint64_t start = m_runningStart.load();
  if (start == UINT64_MAX) return false;
  // A full ring waits for this thread, not for the worker.
  if (m_ring.freeSpace() == 0) return true;
  // The ring index the block reads up to: from where the render thread
  // reads if it plays this utterance already, else from the utterance's start.
  const uint64_t readAt = m_inputLen > m_inputPos ? m_inputAt : m_ring.readIndex();
  const double ratio = m_bend * m_segRate.load(std::memory_order_relaxed);
  uint64_t need;
  if (readAt >= start)
    need = readAt + uint64_t(std::ceil(double(blockEnd - m_frame) * ratio));
  else
    need = start + uint64_t(std::ceil(double(blockEnd - std::max(runningFrame, m_frame)) * ratio));
  // Interpolation takes a sample or two beyond the last frame.
  return m_ring.writeIndex() >= need + 4;
}

bool SpeechVoice::waitUntilReady(size_t frames, std::chrono::milliseconds timeout,
                                 const std::function<bool(uint64_t)>& requestPending) {
  const uint64_t end = m_frame + frames;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(m_waitMutex);
  m_waiters.fetch_add(1);
  bool ready = false;
  for (;;) {
    ready = !(requestPending && requestPending(end)) && readyFor(end);
    if (ready || std::chrono::steady_clock::now() >= deadline) break;
    // The worker may be napping between polls: a post wakes it at once.
    m_engine->post();
    // Progress is announced under m_waitMutex; the short bound covers the
    // render-side state the worker cannot announce.
    m_progress.wait_for(lock, std::chrono::milliseconds(2));
  }
  m_waiters.fetch_sub(1);
  return ready;
}

void SpeechVoice::postDeferred(uint32_t flags) {
  m_deferred.fetch_or(flags);
  m_engine->post();
}

bool SpeechVoice::busy() const {
  {
    // Both under the engine's lock, where a job moves from queued to running:
    // read apart, a job taken in between would be seen as neither.
    std::lock_guard<std::mutex> lock(m_engine->mutex());
    if (m_hasJob || m_running.load()) return true;
  }
  // A job writes all its audio before it stops running; the render thread may
  // have taken the last of it out of the ring without playing it yet.
  return m_ring.readable() > 0 || m_holding.load(std::memory_order_acquire);
}
