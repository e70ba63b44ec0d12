#include "SpeechVoice.h"

#include "SpeechEngine.h"
#include "SpeechText.h"
#include "SungSyllable.h"

#include "GlimmContract.h"

#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace glimm;

namespace {
// The engine runs at this volume, where loud vowels at extreme formant
// settings still stay clear of its own 16-bit ceiling; the gain brings the
// level back to what the engine gives at its default volume of 100.
constexpr int kEngineVolume = 50;
constexpr double kMakeupGain = 100.0 / kEngineVolume;

// How long a synthesis process may send nothing mid-job before it counts as
// hung: 10 s, or what GLIMM_SYNTHESIS_HANG_MS says (100 ms to 10 min), which
// exists so that a test need not wait 10 s.
std::chrono::milliseconds hangLimit() {
  const char* ms = std::getenv("GLIMM_SYNTHESIS_HANG_MS");
  char* end = nullptr;
  const long v = ms ? std::strtol(ms, &end, 10) : 0;
  if (!ms || end == ms || *end != '\0' || v < 100 || v > 600000) return std::chrono::seconds(10);
  return std::chrono::milliseconds(v);
}
}  // namespace

// ---- the engine thread ------------------------------------------------------

SpeechEngine::SpeechEngine() : m_hangLimit(hangLimit()), m_process(glimmEngineExecutable()) {
  m_eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SpeechEngine::~SpeechEngine() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = true;
  }
  wake();
  if (m_thread.joinable()) m_thread.join();
  m_process.stop();
  if (m_eventFd >= 0) ::close(m_eventFd);
}

// Out of line: an inline function's static would be a unique symbol, and
// those keep the module from ever being unloaded.
SpeechEngine& SpeechEngine::instance() {
  static SpeechEngine engine;
  return engine;
}

void SpeechEngine::add(const std::shared_ptr<SpeechVoice>& v) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_voices.push_back(v);
  startLocked();
  lock.unlock();
  // A new voice is about to render: the engine thread should be listening.
  wake();
  // The first voice waits for the synthesis process to start and list the
  // voices (tens of milliseconds; bounded, should it hang), so that its first
  // note is as quick as the rest.
  lock.lock();
  m_startTriedChanged.wait_for(lock, std::chrono::seconds(2), [this] { return m_startTried || m_quit; });
}

void SpeechEngine::remove(SpeechVoice* v) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_voices.erase(std::remove_if(m_voices.begin(), m_voices.end(),
                                [v](const std::shared_ptr<SpeechVoice>& p) { return p.get() == v; }),
                 m_voices.end());
}

const std::vector<SpeechVoiceInfo>& SpeechEngine::voiceList() {
  static const std::vector<SpeechVoiceInfo> none;
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_listed) return m_voiceList;
  if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) return none;
  startLocked();
  m_wantList = true;
  lock.unlock();
  wake();
  lock.lock();
  // Bounded: an engine thread that cannot start the process must not hang the caller.
  m_listedChanged.wait_for(lock, std::chrono::seconds(30), [this] { return m_listed || m_quit; });
  return m_listed ? m_voiceList : none;
}

void SpeechEngine::wake() {
  const uint64_t one = 1;
  ssize_t r = ::write(m_eventFd, &one, sizeof one);
  (void)r;
}

void SpeechEngine::startLocked() {
  if (!m_thread.joinable() && m_eventFd >= 0) m_thread = std::thread([this] { run(); });
}

// Returns once a control thread woke the engine thread or the render side posted.
// While audio runs it naps kPollInterval at a time on the descriptor, so a
// control call still wakes it at once; with audio stopped it sleeps until a
// control call, and an idle process sees no wake-ups from it.
void SpeechEngine::waitForWake() {
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

bool SpeechEngine::quitting() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_quit;
}

// Lists the voices for voiceList(), once for the engine's life: listing
// reads every voice file, which no later start of the process repeats.
void SpeechEngine::provideList() {
  std::vector<SpeechVoiceInfo> list;
  // A second try, in a new process, if the first dies on the way.
  for (int attempt = 0; attempt < 2; ++attempt)
    if (m_process.ensure() && m_process.listVoices(list)) break;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_voiceList = std::move(list);
  m_listed = true;
  m_listedChanged.notify_all();
}

// The engine thread, and the synthesis process it starts (which inherits its
// policy), take the lowest real-time priority where the system allows it
// (RLIMIT_RTPRIO, as audio users' groups grant): above every ordinary thread,
// so that a busy machine does not make a note late, and below every audio
// thread, which they must never delay. Where it is refused they stay as they
// are, quietly.
namespace {
void raiseToLowestRealtime() {
  sched_param p{};
  p.sched_priority = sched_get_priority_min(SCHED_FIFO);
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
}
}  // namespace

void SpeechEngine::run() {
  raiseToLowestRealtime();
  for (;;) {
    // The process starts (and loads its first voice) before any request, so
    // the first note is as quick as the rest; after a fault the next one
    // does. One that cannot start waits for a request, as its start backs off.
    if (!m_process.running()) {
      m_process.ensure();
      // The list, once for the engine's life, right after the first start:
      // asked for later, it would hold up whatever note came with it.
      if (!listed()) provideList();
      std::lock_guard<std::mutex> lock(m_mutex);
      m_startTried = true;
      m_startTriedChanged.notify_all();
    }
    waitForWake();
    if (quitting()) return;
    if (listWanted()) provideList();
    serviceDeferred();
    while (std::shared_ptr<SpeechVoice> v = takeJob()) {
      runJob(*v);
      v->notifyProgress();
      serviceDeferred();
      if (quitting()) return;
    }
  }
}

bool SpeechEngine::listed() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_listed;
}

bool SpeechEngine::listWanted() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_wantList && !m_listed;
}

std::vector<std::shared_ptr<SpeechVoice>> SpeechEngine::voices() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_voices;
}

void SpeechEngine::serviceDeferred() {
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

std::shared_ptr<SpeechVoice> SpeechEngine::takeJob() {
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

void SpeechEngine::runJob(SpeechVoice& v) {
  const SpeechVoice::Utterance job = std::move(m_current);
  if (job.generation != v.m_generation.load()) {
    v.m_running = false;
    return;
  }
  const SpeechSettings& s = job.settings;
  // The render thread fades out what still plays and moves on to this
  // utterance's audio, which begins at the ring's current end.
  // A sung syllable is announced once all of it is there, with its loop.
  const bool sung = s.sing && !job.text.empty();
  if (!sung) announce(v, {v.m_ring.writeIndex(), s.startFrame, s.noteId, 1.0});
  if (job.text.empty() || !m_process.ensure()) {
    v.m_running = false;
    return;
  }
  // Every setting goes with the job, so nothing one job did can leak into the next.
  SynthesisJob spec;
  spec.id = ++m_jobId;
  spec.rate = espeakRate(s.speed);
  spec.pitch = espeakPitch(s.pitch);
  spec.range = 50;
  spec.volume = kEngineVolume;
  spec.throatPercent = formantPercent(s.throat);
  spec.mouthPercent = formantPercent(s.mouth);
  spec.f0 = s.sing ? singHz(s.singNote) : 0;
  spec.phonetic = s.phonetic;
  spec.whole = s.sing;
  // By its file where the list is known: the engine finds a voice by its
  // short name only after reading every voice file.
  const std::string wanted = s.voice.empty() ? std::string(kGlimmDefaultVoice) : s.voice;
  spec.voice = s.voice;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const SpeechVoiceInfo& info : m_voiceList)
      if (info.name == wanted) spec.voice = info.identifier;
  }
  // Phoneme mnemonics are read as such only between double brackets.
  spec.text = s.phonetic && !s.lyric ? "[[" + glimm::phonemeText(job.text) + "]]" : job.text;
  spec.lyric = s.lyric;
  spec.note = s.lyricNote;
  // Lowered formants make the engine louder (throat 0: 5 dB, mouth 0:
  // 3 dB); that much is taken back, so the extremes keep their headroom.
  const double formants = std::min(1.0, std::pow(spec.throatPercent / 100.0, 0.8)) *
                          std::min(1.0, std::pow(spec.mouthPercent / 100.0, 0.45));
  const double velocity = std::clamp(s.level, 0.0, 1.0);
  m_shaper.reset(v.m_rate, kMakeupGain * velocity * formants, s.filter);

  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t err = nullptr;
  JobRun run;
  run.voice = &v;
  run.generation = job.generation;
  run.resampler = soxr_create(m_process.sampleRate(), v.m_rate, 1, &err, &io, &quality, nullptr);
  if (err || !run.resampler) {
    v.m_running = false;
    return;
  }
  run.collect = s.sing;
  if (!speakJob(run, spec)) {
    run.cancelled = true;
    std::fprintf(stderr, "glimm: the speech engine process ended while speaking with voice \"%s\"; restarting it\n",
                 wanted.c_str());
  }
  if (!run.cancelled) resample(run, nullptr, 0);
  if (!run.cancelled && run.collect) finishSung(run, s, velocity);
  soxr_delete(run.resampler);
  v.m_running = false;
}

void SpeechEngine::announce(SpeechVoice& v, const SpeechVoice::Segment& seg) {
  v.announce(seg);
  v.m_runningStart = seg.start;
}

// A sung syllable, whole: its level is set from all of it and its vowel laid
// out to be held, then it is announced with its loop and written.
void SpeechEngine::finishSung(JobRun& run, const SpeechSettings& s, double velocity) {
  SpeechVoice& v = *run.voice;
  m_shaper.setGain(glimm::sungGain(run.whole, kMakeupGain) * velocity);
  run.collect = false;
  std::vector<float> shaped;
  shaped.reserve(run.whole.size());
  m_shaper.process(run.whole.data(), run.whole.size(), [&](const float* p, size_t k) {
    shaped.insert(shaped.end(), p, p + k);
    return true;
  });
  // The vowel's samples from the process's rate to this voice's, less the
  // silence the shaper dropped in front.
  const SynthesisProcess::Vowel& vowel = m_process.lastVowel();
  const double scale = v.m_rate / m_process.sampleRate();
  auto at = [&](uint32_t i) {
    return size_t(std::clamp(double(i) * scale - double(m_shaper.skipped()), 0.0, double(shaped.size())));
  };
  // Only a key's note holds its vowel: a play request has no release.
  glimm::SungLayout layout;
  if (s.noteId != 0)
    layout = glimm::layoutSungSyllable(shaped, at(vowel.begin), at(vowel.end), v.m_rate / singHz(s.singNote), v.m_rate,
                                       vowel.diphthong);
  SpeechVoice::Segment seg{v.m_ring.writeIndex(), s.startFrame, s.noteId, singRatio(s.singNote)};
  seg.legato = s.legato;
  seg.glideFrom = s.legato ? hzForNote(s.glideFrom) / hzForNote(s.singNote) : 1.0;
  seg.glideFrames = uint32_t(std::clamp(s.glideMs, 0.0, 1000.0) * v.m_rate / 1000.0);
  if (layout.loopLength > 0) {
    seg.loopStart = seg.start + layout.loopStart;
    seg.loopLength = uint32_t(layout.loopLength);
    seg.loopRate = layout.loopRate;
    seg.shortcut = seg.start + layout.shortcut;
  }
  announce(v, seg);
  push(run, shaped.data(), shaped.size());
}

// Sends the job and takes its audio in until its end; false when the process
// died on the way (the audio so far stays, the rest of the utterance is lost).
bool SpeechEngine::speakJob(JobRun& run, const SynthesisJob& spec) {
  using Clock = std::chrono::steady_clock;
  // A process that stops sending is hung (m_hangLimit); one that ignores a
  // cancel too.
  constexpr auto kCancelLimit = std::chrono::seconds(1);
  // The first audio is usually a fraction of a millisecond away: waiting for
  // it awake saves this thread a wake-up, which on a busy machine can cost
  // more than a whole audio block. Bounded, and only at a job's start.
  constexpr auto kAwake = std::chrono::milliseconds(2);
  if (!m_process.sendJob(spec)) {
    m_process.kill();
    return false;
  }
  bool cancelSent = false, heard = false;
  Clock::time_point lastHeard = Clock::now(), cancelledAt{};
  const Clock::time_point awakeUntil = lastHeard + kAwake;
  for (;;) {
    if (!cancelSent && cancelled(run)) {
      cancelSent = true;
      cancelledAt = Clock::now();
      if (!m_process.sendCancel(spec.id)) {
        m_process.kill();
        return false;
      }
    }
    uint32_t id = 0;
    const bool awake = !heard && Clock::now() < awakeUntil;
    switch (m_process.next(m_eventFd, awake ? std::chrono::milliseconds(0) : kPollInterval, id, m_chunk)) {
      case SynthesisProcess::Event::Samples:
        heard = true;
        // A cancelled job's samples are dropped until its end.
        if (id == spec.id && !cancelled(run)) resample(run, m_chunk.data(), m_chunk.size());
        // After the ring had room again, however long that took.
        lastHeard = Clock::now();
        break;
      case SynthesisProcess::Event::End:
        lastHeard = Clock::now();
        if (id == spec.id) return true;
        break;
      case SynthesisProcess::Event::Died:
        return false;
      case SynthesisProcess::Event::Woken: {
        uint64_t value;
        (void)::read(m_eventFd, &value, sizeof value);
        serviceDeferred();
        break;
      }
      case SynthesisProcess::Event::Timeout:
        if (m_posted.exchange(false)) serviceDeferred();
        // Awake, the process may need this core more than this thread does.
        if (awake) sched_yield();
        break;
    }
    const Clock::time_point now = Clock::now();
    if (now - lastHeard > m_hangLimit || (cancelSent && now - cancelledAt > kCancelLimit)) {
      m_process.kill();
      return false;
    }
  }
}

bool SpeechEngine::shapeAndPush(JobRun& run, float* data, size_t n) {
  if (run.collect) {
    run.whole.insert(run.whole.end(), data, data + n);
    return !cancelled(run);
  }
  return m_shaper.process(data, n, [&](const float* p, size_t k) { return push(run, p, k); });
}

bool SpeechEngine::cancelled(JobRun& run) {
  if (!run.cancelled && (run.generation != run.voice->m_generation.load() || quitting())) run.cancelled = true;
  return run.cancelled;
}

// Feeds samples (or, with in == nullptr, the end of input) through the
// resampler into the voice's ring, waiting for room when the ring is full.
void SpeechEngine::resample(JobRun& run, const short* in, size_t n) {
  const double ratio = run.voice->m_rate / m_process.sampleRate();
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

bool SpeechEngine::push(JobRun& run, const float* data, size_t n) {
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
