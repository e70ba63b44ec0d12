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

}  // namespace

OfflineRenderResult renderOffline(UnitHost& unit, const std::string& wavPath, double timeoutSeconds,
                                  const std::function<bool()>& interrupted) {
  OfflineRenderResult result;
  std::string openError;
  SNDFILE* wav = openWavForWriting(wavPath, int(unit.sampleRate()), &openError);
  if (!wav) {
    result.error = openError;
    return result;
  }

  std::vector<float> left(kChunkFrames), right(kChunkFrames), interleaved(size_t(kChunkFrames) * 2);
  unsigned filled = 0;
  bool heard = false, writeFailed = false;
  auto flush = [&] {
    for (unsigned i = 0; i < filled; ++i) {
      float l = left[i], r = right[i];
      if (!std::isfinite(l)) l = 0.f;
      if (!std::isfinite(r)) r = 0.f;
      if (std::fabs(l) > kGlimmSilence || std::fabs(r) > kGlimmSilence) heard = true;
      interleaved[2 * i] = l;
      interleaved[2 * i + 1] = r;
    }
    if (filled && sf_writef_float(wav, interleaved.data(), filled) != sf_count_t(filled)) writeFailed = true;
    result.frames += filled;
    filled = 0;
  };

  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  OfflineRenderResult::Status status = OfflineRenderResult::Spoken;
  if (unit.play() != noErr) {
    result.error = "the unit would not speak";
    status = OfflineRenderResult::Failed;
  }
  std::vector<unsigned char> ablStorage(sizeof(AudioBufferList) + sizeof(AudioBuffer));
  auto* abl = reinterpret_cast<AudioBufferList*>(ablStorage.data());
  abl->mNumberBuffers = 2;
  double sampleTime = 0;
  unsigned sinceCheck = 0;
  while (status == OfflineRenderResult::Spoken && !writeFailed) {
    // One frame per call: the unit pads a short read with zeros and flags
    // only a wholly empty one, so only a one-frame render tells exactly
    // whether the synthesiser had fallen behind.
    abl->mBuffers[0] = {1, sizeof(float), &left[filled]};
    abl->mBuffers[1] = {1, sizeof(float), &right[filled]};
    AudioTimeStamp ts = {};
    ts.mSampleTime = sampleTime;
    ts.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    const OSStatus err = AudioUnitRender(unit.unit(), &flags, &ts, 0, 1, abl);
    if (err != noErr) {
      result.error = "the unit failed to render (status " + std::to_string(err) + ")";
      status = OfflineRenderResult::Failed;
      break;
    }
    if (!(flags & kAudioUnitRenderAction_OutputIsSilence)) {
      sampleTime += 1;
      if (++filled == kChunkFrames) flush();
      if (++sinceCheck < kChunkFrames) continue;
    }
    sinceCheck = 0;
    if (interrupted && interrupted()) {
      status = OfflineRenderResult::Interrupted;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      status = OfflineRenderResult::TimedOut;
      break;
    }
    if (!(flags & kAudioUnitRenderAction_OutputIsSilence)) continue;
    // Nothing was ready. The unit still speaking means the synthesiser is
    // behind, not done: wait for it rather than record a gap.
    bool speaking = false;
    if (unit.speaking(&speaking) != noErr) {
      result.error = "the unit does not say when it has finished speaking; --render cannot work with it";
      status = OfflineRenderResult::Failed;
      break;
    }
    if (!speaking) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  flush();
  if (writeFailed) {
    result.error = "cannot write " + wavPath + ": " + sf_strerror(wav);
    status = OfflineRenderResult::Failed;
  }
  if (sf_close(wav) != 0 && status != OfflineRenderResult::Failed) {
    result.error = "cannot finish " + wavPath;
    status = OfflineRenderResult::Failed;
  }
  if (status == OfflineRenderResult::Spoken && !heard) status = OfflineRenderResult::NothingToSpeak;
  result.status = status;
  return result;
}
