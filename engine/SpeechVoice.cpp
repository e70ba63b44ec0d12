// The voice: its control side and the render thread's playback.
#include "SpeechEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
// One 256-frame block at 48 kHz: a sound starts in the block after its event,
// at the event's offset, and the engine thread has that block's period to get ready.
uint64_t minimumLatency(double rate) { return std::max<uint64_t>(1, uint64_t(std::lround(rate * 256.0 / 48000.0))); }
// A sung syllable released at most this long (in seconds of its audio)
// before its vowel still sounds a shortened vowel and its final consonants.
constexpr double kLetGoLead = 0.15;
// A legato note crosses over from the held vowel in at least this long,
// and at most the longer.
constexpr double kJoinSeconds = 0.03, kJoinLongest = 0.15;
// Blocks longer than this do not lengthen the latency further.
constexpr uint64_t kLatencyLimit = 16384;
}  // namespace

SpeechVoice::SpeechVoice(SpeechEngine* engine, double sampleRate, SpeechVoiceClient* client)
    : m_engine(engine),
      m_rate(sampleRate),
      m_ring(kRingFrames),
      m_latency(minimumLatency(sampleRate)),
      m_client(client) {}

std::shared_ptr<SpeechVoice> SpeechVoice::create(double sampleRate, SpeechVoiceClient* client) {
  if (!(sampleRate >= 1000.0 && sampleRate <= 1.0e6)) return nullptr;
  SpeechEngine& engine = SpeechEngine::instance();
  std::shared_ptr<SpeechVoice> v(new SpeechVoice(&engine, sampleRate, client));
  engine.add(v);
  return v;
}

SpeechVoice::~SpeechVoice() = default;

void SpeechVoice::detach() {
  silence();
  m_engine->remove(this);
  std::lock_guard<std::mutex> lock(m_clientMutex);
  m_client = nullptr;
}

void SpeechVoice::speak(std::string preparedText, const SpeechSettings& settings) {
  // The old utterance fades out on the render thread's next block: cutting
  // it here would click. Only what was announced before now is old: the
  // render thread may take up this very request's audio before it sees this.
  // A legato note lets it sound on until the new one takes over from it.
  if (!settings.legato) {
    const uint32_t announced = m_announced.sequence();
    m_supersedeUpTo.store((announced + 1) & ~1u, std::memory_order_relaxed);  // one being announced counts
    m_supersedeSeq.fetch_add(1, std::memory_order_release);
  }
  {
    std::lock_guard<std::mutex> lock(m_engine->mutex());
    m_job.text = std::move(preparedText);
    m_job.settings = settings;
    m_job.generation = ++m_generation;
    m_hasJob = true;
  }
  m_engine->wake();
}

void SpeechVoice::silence() {
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
  m_looping = m_letGo = m_joinPending = false;
  m_loopPos = 0;
  m_joinLeft = m_glideLeft = 0;
  m_glide = 1.0;
  if (s.loopLength > kLoopFrames) m_segment.loopLength = 0;
  const bool released = s.noteId != 0 && s.noteId <= m_releasedId && m_frame >= m_releaseFrame;
  m_play = released || seq <= m_cutSeq ? Play::Muted : Play::Playing;
}

// Legato: the held loop keeps sounding from its own copy while the new
// syllable comes in over kJoinSeconds, its pitch gliding from the old one.
void SpeechVoice::join() {
  m_joinPending = false;
  const uint32_t n = m_segment.loopLength;
  std::memcpy(m_joinLoop, m_loop, n * sizeof(float));
  m_joinLength = n;
  m_joinPos = double(m_loopPos) + m_frac;
  m_joinStep = m_ratio * m_segment.loopRate;
  switchSegment(m_pending, m_pendingSeq);
  // Over the new syllable's first consonants, up to its vowel: the old
  // vowel carries the level until the new one takes it up.
  const double onset = double(m_segment.loopStart - std::min(m_segment.loopStart, m_segment.start));
  m_joinLeft = m_joinFrames = uint32_t(std::clamp(onset, m_rate * kJoinSeconds, m_rate * kJoinLongest));
  m_glide = m_segment.glideFrom;
  m_glideLeft = m_segment.glideFrames;
  m_glideStep = m_glideLeft ? std::pow(1.0 / m_glide, 1.0 / m_glideLeft) : 1.0;
  if (!m_glideLeft) m_glide = 1.0;
}

float SpeechVoice::joinSample() {
  const size_t i = size_t(m_joinPos);
  const float a = m_joinLoop[i % m_joinLength], b = m_joinLoop[(i + 1) % m_joinLength];
  const float y = a + (b - a) * float(m_joinPos - double(i));
  m_joinPos = std::fmod(m_joinPos + m_joinStep, double(m_joinLength));
  return y;
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
  // Also what the engine thread has announced but this thread not yet taken up.
  m_cutSeq = m_announced.tryLoad(s, &seq) ? seq : m_announced.sequence() + 1;
  if (m_play == Play::Playing || m_play == Play::Switching || m_play == Play::Releasing) {
    m_play = Play::Releasing;
    m_envStep = -float(1.0 / std::max(1.0, m_rate * 0.001));
  }
}

void SpeechVoice::setBend(double semitones) {
  m_bend = std::pow(2.0, std::clamp(semitones, -24.0, 24.0) / 12.0);
  m_ratio = m_bend * m_segment.rate;
}

bool SpeechVoice::takeInput(size_t k, float* x) {
  for (size_t j = 0; j < k;) {
    if (m_looping) {
      x[j++] = m_loop[m_loopPos];
      if (++m_loopPos == m_segment.loopLength) {
        m_loopPos = 0;
        m_looping = !m_letGo;
      }
      continue;
    }
    // Up to the shortcut, where a released key skips to the loop, and the
    // loop's end, where a held key turns back.
    const Segment& g = m_segment;
    const uint64_t loopEnd = g.loopStart + g.loopLength;
    const bool before = g.loopLength > 0 && m_inputAt < loopEnd;
    const uint64_t stop = m_inputAt < g.shortcut ? g.shortcut : loopEnd;
    const size_t n = before ? size_t(std::min<uint64_t>(k - j, stop - m_inputAt)) : k - j;
    if (!takeStream(n, x + j)) return false;
    j += n;
    if (!before) continue;
    if (m_letGo && m_inputAt == g.shortcut && g.shortcut < g.loopStart) skipStream(g.loopStart);
    if (m_inputAt == loopEnd && !m_letGo) m_looping = true;
  }
  return true;
}

void SpeechVoice::skipStream(uint64_t to) {
  if (to - m_inputAt <= m_inputLen - m_inputPos) {
    m_inputPos += size_t(to - m_inputAt);
  } else {
    m_inputPos = m_inputLen = 0;
    m_ring.skipTo(to);
  }
  m_inputAt = to;
}

bool SpeechVoice::takeStream(size_t k, float* x) {
  if (m_inputLen - m_inputPos < k) {
    // Keep what is left and top up from the ring.
    const size_t left = m_inputLen - m_inputPos;
    std::memmove(m_input, m_input + m_inputPos, left * sizeof(float));
    m_inputPos = 0;
    if (left == 0) m_inputAt = m_ring.readIndex();
    m_inputLen = left + m_ring.read(m_input + left, kInputFrames - left);
    // The engine thread announces an utterance before writing it: audio read past
    // the start of one announced meanwhile is that utterance's, kept for it.
    noticeSegment();
  }
  // What plays stops where the next utterance begins.
  const uint64_t mine = std::min<uint64_t>(m_inputLen - m_inputPos, m_oldEnd - std::min(m_oldEnd, m_inputAt));
  if (mine < k) return false;
  for (size_t i = 0; i < k; ++i) {
    x[i] = m_input[m_inputPos++];
    const uint64_t at = m_inputAt + i;
    if (at >= m_segment.loopStart && at - m_segment.loopStart < m_segment.loopLength)
      m_loop[at - m_segment.loopStart] = x[i];
  }
  m_inputAt += k;
  return true;
}

void SpeechVoice::noticeSegment() {
  Segment seg;
  uint32_t seq = 0;
  if (!m_announced.tryLoad(seg, &seq) || seq == m_seenSeq || seq == m_pendingSeq) return;
  m_pending = seg;
  m_pendingSeq = seq;
  m_oldEnd = std::min(m_oldEnd, seg.start);
  const bool more = m_looping || m_inputLen > m_inputPos || m_ring.readIndex() < m_oldEnd;
  if (m_play == Play::Switching) return;
  // Legato onto a held vowel: it goes on until the new note is due.
  m_joinPending = seg.legato && m_play == Play::Playing && m_looping;
  if (m_joinPending) return;
  if ((m_play == Play::Playing || m_play == Play::Releasing) && m_frame >= m_gate && m_env > 0 && more) {
    // What plays fades out over a millisecond before the new audio takes over.
    m_play = Play::Switching;
    m_envStep = -float(1.0 / std::max(1.0, m_rate * 0.001));
  } else {
    m_switchNow = true;
  }
}

// The control threads' requests since the last block.
void SpeechVoice::takeUpRequests() {
  const uint32_t stops = m_stopSeq.load(std::memory_order_acquire);
  if (stops != m_seenStops) {
    m_seenStops = stops;
    m_inputPos = m_inputLen = 0;
    m_play = Play::Idle;
  }
  const uint32_t supersede = m_supersedeSeq.load(std::memory_order_acquire);
  if (supersede != m_seenSupersede) {
    m_seenSupersede = supersede;
    const uint32_t upTo = m_supersedeUpTo.load(std::memory_order_relaxed);
    if ((m_play == Play::Playing || m_play == Play::Releasing) && int32_t(m_seenSeq - upTo) <= 0) {
      m_play = Play::Releasing;
      m_envStep = -float(1.0 / std::max(1.0, m_rate * 0.001));
    }
  }
  noticeSegment();
}

// A fade has reached silence: the next utterance takes over, or none plays.
void SpeechVoice::endFade() {
  if (m_play == Play::Switching) {
    switchSegment(m_pending, m_pendingSeq);
  } else {
    m_play = Play::Muted;
    m_inputPos = m_inputLen = 0;
  }
}

// The vibrato's pitch factor for this frame (2 to the cents over 1200, to
// the second order: within 0.1 cent at 100).
double SpeechVoice::vibrato() {
  if (m_vibratoCents <= 0) return 1.0;
  m_vibratoPhase += 2 * M_PI * kVibratoHz / m_rate;
  if (m_vibratoPhase > 2 * M_PI) m_vibratoPhase -= 2 * M_PI;
  const double x = m_vibratoCents * std::sin(m_vibratoPhase) * (M_LN2 / 1200.0);
  return 1.0 + x + 0.5 * x * x;
}

// One output frame; false when it is silent.
bool SpeechVoice::renderFrame(uint64_t now, float& out) {
  if (m_play == Play::Idle || m_play == Play::Muted || now < m_gate) return false;
  if (m_play == Play::Playing && !m_letGo && m_noteId != 0 && m_noteId <= m_releasedId && now >= m_releaseFrame) {
    // A syllable near its held vowel, or in it, plays on to its end; one
    // released long before (a long word on one note) fades as speech does.
    const uint64_t near = uint64_t(m_rate * kLetGoLead);
    if (m_segment.loopLength > 0 && m_inputAt + near >= m_segment.shortcut) {
      m_letGo = true;
    } else {
      m_play = Play::Releasing;
      m_envStep = m_releaseStep;
    }
  }
  // Linear interpolation at the bend's rate; without a bend it is a copy.
  // An utterance starts on its first two samples, so its first sound is due
  // exactly at the gate.
  if (m_glideLeft > 0 && --m_glideLeft > 0)
    m_glide *= m_glideStep;
  else
    m_glide = 1.0;
  const double step = m_ratio * m_glide * vibrato() * (m_looping ? m_segment.loopRate : 1.0);
  const double f = m_primed ? m_frac + step : 0.0;
  const size_t k = m_primed ? size_t(f) : 2;
  float x[4];
  if (k > 0 && !takeInput(std::min<size_t>(k, 4), x)) {
    // Nothing more to play (yet): a fade in progress has nothing left to fade.
    if (m_play == Play::Switching || m_play == Play::Releasing) endFade();
    return false;
  }
  if (k >= 2)
    m_x0 = x[std::min<size_t>(k, 4) - 2];
  else if (k == 1)
    m_x0 = m_x1;
  if (k >= 1) m_x1 = x[std::min<size_t>(k, 4) - 1];
  m_frac = m_primed ? f - double(k) : 0.0;
  m_primed = true;
  const float y = m_x0 + (m_x1 - m_x0) * float(m_frac);
  if (m_play != Play::Playing) {
    m_env += m_envStep;
    if (m_env <= 0) {
      m_env = 0;
      endFade();
    }
  }
  out = y * m_env;
  if (m_joinLeft > 0 && m_joinLength > 0) {
    // Equal power: the two are unrelated sounds.
    const float w = float(m_joinLeft--) / float(m_joinFrames);
    out = out * std::sqrt(1 - w) + joinSample() * std::sqrt(w);
  }
  return true;
}

void SpeechVoice::beginBlock(size_t frames) {
  if (frames > m_latency.load(std::memory_order_relaxed) && frames <= kLatencyLimit)
    m_latency.store(frames, std::memory_order_relaxed);
}

size_t SpeechVoice::render(float* out, size_t frames) {
  m_engine->rendered();
  beginBlock(frames);
  takeUpRequests();
  m_releaseStep = -float(1.0 / std::max(1.0, m_rate * 0.01));
  size_t lastSound = 0;
  for (size_t i = 0; i < frames; ++i) {
    out[i] = 0;
    if (m_switchNow) switchSegment(m_pending, m_pendingSeq);
    if (m_joinPending && m_frame + i >= m_pending.startFrame) join();
    if (renderFrame(m_frame + i, out[i])) lastSound = i + 1;
  }
  // A muted utterance's audio is dropped as it arrives, up to where the next
  // one begins (looked up after the write index: announcing comes first).
  if (m_play == Play::Muted) {
    const uint64_t written = m_ring.writeIndex();
    noticeSegment();
    m_ring.skipTo(std::min(written, m_oldEnd));
  }
  const bool holding = m_play != Play::Idle && m_play != Play::Muted && (m_inputLen > m_inputPos || m_looping);
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
  // A full ring waits for this thread, not for the engine thread.
  if (m_ring.freeSpace() == 0) return true;
  // The ring index the block reads up to: from where the render thread
  // reads if it plays this utterance already, else from the utterance's start.
  const uint64_t readAt = m_inputLen > m_inputPos ? m_inputAt : m_ring.readIndex();
  const double ratio = m_bend * m_announced.load().rate;
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
    // The engine thread may be napping between polls: a post wakes it at once.
    m_engine->post();
    // Progress is announced under m_waitMutex; the short bound covers the
    // render-side state the engine thread cannot announce.
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

const std::vector<SpeechVoiceInfo>& glimm::installedVoices() { return SpeechEngine::instance().voiceList(); }

pid_t glimm::engineProcessId() { return SpeechEngine::instance().processId(); }

const SpeechVoiceInfo* glimm::findInstalledVoice(std::string_view name) {
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
