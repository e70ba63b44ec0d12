#include "SpeechEngine.h"

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

double noteForPitch(float pitch) { return std::clamp(double(pitch), 0.0, 255.0) / 2.0; }

double hzForNote(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

}  // namespace glimmspeech

using namespace glimmspeech;

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
  SpeechEngine() { m_eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

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
    for (;;) {
      waitForWake();
      if (quitting()) return;
      if (listWanted()) ensureEspeak();
      serviceDeferred();
      while (std::shared_ptr<SpeechVoice> v = takeJob()) {
        runJob(*v);
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
      std::lock_guard<std::mutex> lock(v->m_clientMutex);
      if (v->m_client) v->m_client->serviceDeferred(flags);
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
    // The engine is initialised once per process: keep the library loaded when
    // this module is unloaded, so a reloaded module finds it ready (and its
    // memory stays reachable) instead of initialising it again.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&espeak_ng_Initialize), &info) && info.dli_fname) {
      if (void* pin = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(pin);
    }
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

  struct JobRun {
    SpeechEngine* engine;
    SpeechVoice* voice;
    uint64_t generation;
    soxr_t resampler;
    std::vector<float> out;
    bool cancelled = false;
  };

  void runJob(SpeechVoice& v) {
    const SpeechVoice::Job job = std::move(m_current);
    // Whatever is still queued belongs to a superseded utterance.
    v.m_ring.discardWritten();
    if (job.text.empty() || job.generation != v.m_generation.load() || !ensureEspeak()) {
      v.m_running = false;
      return;
    }
    const SpeechSettings& s = job.settings;
    // Every setting is applied afresh, so nothing one job did can leak into the next.
    loadVoice(s);
    espeak_SetParameter(espeakRATE, espeakRate(s.speed), 0);
    espeak_SetParameter(espeakPITCH, espeakPitch(s.pitch), 0);
    espeak_SetParameter(espeakRANGE, 50, 0);
    espeak_SetParameter(espeakVOLUME, 60, 0);
    espeak_SetParameter(espeakWORDGAP, 0, 0);
    espeak_SetParameter(espeakCAPITALS, 0, 0);
    espeak_SetParameter(espeakPUNCTUATION, espeakPUNCT_NONE, 0);
    double note = std::clamp(s.singNote, 24.0, 96.0);
    espeak_ng_SetConstF0(s.sing ? int(std::lround(hzForNote(note))) : 0);

    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t err = nullptr;
    JobRun run{this, &v, job.generation, soxr_create(m_espeakRate, v.m_rate, 1, &err, &io, &quality, nullptr), {}};
    if (err || !run.resampler) {
      v.m_running = false;
      return;
    }
    m_run = &run;
    espeak_ng_Synthesize(job.text.c_str(), job.text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                         nullptr);
    if (!run.cancelled) resample(run, nullptr, 0);
    m_run = nullptr;
    soxr_delete(run.resampler);
    if (run.cancelled) v.m_ring.discardWritten();
    v.m_running = false;
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
      // The resampler can overshoot full scale on loud engine output; hosts expect [-1, 1].
      for (size_t i = 0; i < produced; ++i) run.out[i] = std::clamp(run.out[i], -1.0f, 1.0f);
      if (!push(run, run.out.data(), produced)) return;
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

SpeechVoice::SpeechVoice(SpeechEngine* engine, double sampleRate, SpeechVoiceClient* client)
    : m_engine(engine), m_rate(sampleRate), m_ring(kRingFrames), m_client(client) {}

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
  // The old utterance stops now, not when the worker gets to the new one.
  m_ring.discardWritten();
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
  m_engine->wake();
}

size_t SpeechVoice::render(float* out, size_t frames) {
  m_engine->rendered();
  const size_t n = m_ring.read(out, frames);
  if (m_needSpace.load(std::memory_order_relaxed) && m_ring.readable() < m_ring.capacity() / 2 &&
      m_needSpace.exchange(false))
    m_engine->post();
  return n;
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
  // A job writes all its audio before it stops running.
  return m_ring.readable() > 0;
}
