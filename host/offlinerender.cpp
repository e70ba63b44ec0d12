#include "offlinerender.h"

#include "GlimmContract.h"
#include "wavfile.h"

#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kChunkFrames = 4096;

// Frames on their way to the file, written a chunk at a time.
class ChunkWriter {
 public:
  explicit ChunkWriter(SNDFILE* wav)
      : m_wav(wav), m_left(kChunkFrames), m_right(kChunkFrames), m_interleaved(size_t(kChunkFrames) * 2) {}
  // Where the next frame is rendered to.
  float* left() { return &m_left[m_filled]; }
  float* right() { return &m_right[m_filled]; }
  // Takes the frame just rendered.
  void add() {
    if (++m_filled == kChunkFrames) flush();
  }
  void flush() {
    for (unsigned i = 0; i < m_filled; ++i) {
      float l = m_left[i], r = m_right[i];
      if (!std::isfinite(l)) l = 0.f;
      if (!std::isfinite(r)) r = 0.f;
      if (std::fabs(l) > kGlimmSilence || std::fabs(r) > kGlimmSilence) m_heard = true;
      m_interleaved[2 * i] = l;
      m_interleaved[2 * i + 1] = r;
    }
    if (m_filled && sf_writef_float(m_wav, m_interleaved.data(), m_filled) != sf_count_t(m_filled)) m_failed = true;
    m_filled = 0;
  }
  bool heard() const { return m_heard; }
  bool failed() const { return m_failed; }

 private:
  SNDFILE* m_wav;
  std::vector<float> m_left, m_right, m_interleaved;
  unsigned m_filled = 0;
  bool m_heard = false, m_failed = false;
};

// One frame per call: the unit pads a short read with zeros and flags only a
// wholly empty one, so only a one-frame render tells exactly whether the
// synthesiser had fallen behind. True when the frame holds audio.
bool renderFrame(AudioUnit unit, double sampleTime, AudioBufferList* abl, ChunkWriter& out, OSStatus* err) {
  AudioUnitRenderActionFlags flags = 0;
  *err = renderStereo(unit, sampleTime, 1, out.left(), out.right(), abl, &flags);
  return *err == noErr && !(flags & kAudioUnitRenderAction_OutputIsSilence);
}

// Renders until the unit has finished, the time is up or the user stops it,
// one frame per call: for a unit that cannot render offline.
RenderOutcome renderFramesUntilDone(UnitHost& unit, ChunkWriter& out, std::chrono::steady_clock::time_point deadline,
                                    const std::function<bool()>& interrupted, std::string* error) {
  std::vector<unsigned char> ablStorage(sizeof(AudioBufferList) + sizeof(AudioBuffer));
  auto* abl = reinterpret_cast<AudioBufferList*>(ablStorage.data());
  double sampleTime = 0;
  unsigned sinceCheck = 0;
  while (!out.failed()) {
    OSStatus err = noErr;
    const bool sounded = renderFrame(unit.unit(), sampleTime, abl, out, &err);
    if (err != noErr) {
      *error = "the unit failed to render (status " + std::to_string(err) + ")";
      return RenderOutcome::Failed;
    }
    if (sounded) {
      sampleTime += 1;
      out.add();
      if (++sinceCheck < kChunkFrames) continue;
    }
    sinceCheck = 0;
    if (interrupted && interrupted()) return RenderOutcome::Interrupted;
    if (std::chrono::steady_clock::now() > deadline) return RenderOutcome::TimedOut;
    if (sounded) continue;
    // Nothing was ready. The unit still speaking means the synthesiser is
    // behind, not done: wait for it rather than record a gap.
    bool speaking = false;
    if (unit.speaking(&speaking) != noErr) {
      *error = "the unit does not say when it has finished speaking; --render cannot work with it";
      return RenderOutcome::Failed;
    }
    if (!speaking) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return RenderOutcome::Spoken;
}

// The same for a unit that renders offline (kAudioUnitProperty_OfflineRender:
// its render waits for the synthesis): frame by frame only up to the first
// sound, which starts the file, then a block per call. Trailing zeros are held
// back until more sound follows, so the file ends where the speech does.
RenderOutcome renderBlocksUntilDone(UnitHost& unit, ChunkWriter& out, std::chrono::steady_clock::time_point deadline,
                                    const std::function<bool()>& interrupted, std::string* error) {
  constexpr UInt32 kBlock = 1024;
  std::vector<float> left(kBlock), right(kBlock);
  std::vector<unsigned char> ablStorage(sizeof(AudioBufferList) + sizeof(AudioBuffer));
  auto* abl = reinterpret_cast<AudioBufferList*>(ablStorage.data());
  double sampleTime = 0;
  bool started = false;
  size_t heldZeros = 0;
  while (!out.failed()) {
    const UInt32 frames = started ? kBlock : 1;
    AudioUnitRenderActionFlags flags = 0;
    if (const OSStatus err = renderStereo(unit.unit(), sampleTime, frames, left.data(), right.data(), abl, &flags)) {
      *error = "the unit failed to render (status " + std::to_string(err) + ")";
      return RenderOutcome::Failed;
    }
    sampleTime += frames;
    const bool silent = flags & kAudioUnitRenderAction_OutputIsSilence;
    if (!silent) {
      started = true;
      for (UInt32 i = 0; i < frames; ++i) {
        if (left[i] == 0.f && right[i] == 0.f) {
          ++heldZeros;
          continue;
        }
        for (; heldZeros > 0; --heldZeros) {
          *out.left() = *out.right() = 0.f;
          out.add();
        }
        *out.left() = left[i];
        *out.right() = right[i];
        out.add();
      }
    }
    if (interrupted && interrupted()) return RenderOutcome::Interrupted;
    if (std::chrono::steady_clock::now() > deadline) return RenderOutcome::TimedOut;
    if (!silent) continue;
    bool speaking = false;
    if (unit.speaking(&speaking) != noErr) {
      *error = "the unit does not say when it has finished speaking; --render cannot work with it";
      return RenderOutcome::Failed;
    }
    if (!speaking) break;
  }
  return RenderOutcome::Spoken;
}

}  // namespace

RenderOutcome renderOffline(UnitHost& unit, const std::string& wavPath, double timeoutSeconds,
                            const std::function<bool()>& interrupted, std::string* error) {
  SNDFILE* wav = openWavForWriting(wavPath, int(unit.sampleRate()), error);
  if (!wav) return RenderOutcome::Failed;
  ChunkWriter out(wav);
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  RenderOutcome outcome = RenderOutcome::Failed;
  const UInt32 offline = 1;
  const bool blocks = AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_OfflineRender, kAudioUnitScope_Global, 0,
                                           &offline, sizeof offline) == noErr;
  if (unit.play() != noErr)
    *error = "the unit would not speak";
  else if (blocks)
    outcome = renderBlocksUntilDone(unit, out, deadline, interrupted, error);
  else
    outcome = renderFramesUntilDone(unit, out, deadline, interrupted, error);
  out.flush();
  if (out.failed()) {
    *error = "cannot write " + wavPath + ": " + sf_strerror(wav);
    outcome = RenderOutcome::Failed;
  }
  if (sf_close(wav) != 0 && outcome != RenderOutcome::Failed) {
    *error = "cannot finish " + wavPath;
    outcome = RenderOutcome::Failed;
  }
  if (outcome == RenderOutcome::Spoken && !out.heard()) outcome = RenderOutcome::NothingToSpeak;
  return outcome;
}
