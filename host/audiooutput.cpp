#include "audiooutput.h"

#include "GlimmContract.h"
#include "SpscRing.h"
#include "unithost.h"
#include "midiinput.h"
#include "wavfile.h"

#include <portaudio.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// PortAudio's back ends (ALSA, JACK) print pages of probing noise to stderr
// on a machine without sound; the host says what matters in one line instead.
PaError quietPaInitialize() {
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
  const PaError e = Pa_Initialize();
  if (saved >= 0) {
    dup2(saved, STDERR_FILENO);
    close(saved);
  }
  if (null >= 0) close(null);
  return e;
}

// Set when a stopped device's stream is left open at exit: should the device
// ever call again, the output it would render into may be gone.
std::atomic<bool> g_streamAbandoned{false};

int paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
               void* user) {
  if (g_streamAbandoned.load(std::memory_order_acquire)) return paAbort;
  auto* self = static_cast<AudioOutput*>(user);
  auto* out = static_cast<float*>(output);
  while (frames > 0) {
    const unsigned n = frames > AudioOutput::kBlockFrames ? AudioOutput::kBlockFrames : unsigned(frames);
    self->renderBlock(out, n);
    out += n * AudioOutput::kChannels;
    frames -= n;
  }
  return paContinue;
}

// Output devices by the names --device takes, the default first. PortAudio
// must be initialised.
std::vector<std::pair<std::string, PaDeviceIndex>> outputDevices() {
  std::vector<std::pair<std::string, PaDeviceIndex>> devices;
  std::vector<std::string> plain;
  const PaDeviceIndex def = Pa_GetDefaultOutputDevice();
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || info->maxOutputChannels <= 0) continue;
    plain.push_back(info->name);
    devices.emplace_back(info->name, i);
  }
  for (size_t k = 0; k < devices.size(); ++k) {
    if (std::count(plain.begin(), plain.end(), plain[k]) < 2) continue;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(Pa_GetDeviceInfo(devices[k].second)->hostApi);
    devices[k].first = std::string(api ? api->name : "?") + ": " + plain[k];
  }
  std::stable_partition(devices.begin(), devices.end(), [def](const auto& d) { return d.second == def; });
  return devices;
}

}  // namespace

AudioOutput::AudioOutput(AudioUnit unit, double sampleRate)
    : m_unit(unit),
      m_sampleRate(sampleRate),
      m_left(kBlockFrames),
      m_right(kBlockFrames),
      m_bufferListStorage(sizeof(AudioBufferList) + sizeof(AudioBuffer)) {
  sem_init(&m_ringData, 0, 0);
}

AudioOutput::~AudioOutput() {
  stop();
  sem_destroy(&m_ringData);
}

bool AudioOutput::openWav(const std::string& path, std::string* error) {
  m_wav = openWavForWriting(path, int(m_sampleRate), error);
  if (!m_wav) return false;
  m_wavPath = path;
  // The header counts what has been written after every write, so a host that
  // dies leaves a file that plays up to that point. The writer thread pays
  // for it, never the audio thread.
  sf_command(m_wav, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  size_t capacity = 1;
  while (capacity < size_t(m_sampleRate) * kChannels * 4)  // 4 s of slack for the writer
    capacity *= 2;
  m_ring = std::make_unique<SpscRing>(capacity);
  m_writerRunning = true;
  m_writer = std::thread(&AudioOutput::wavWriterLoop, this);
  return true;
}

void AudioOutput::renderBlock(float* interleaved, unsigned frames) {
  auto* abl = reinterpret_cast<AudioBufferList*>(m_bufferListStorage.data());
  if (MidiInput* midi = m_midi.load(std::memory_order_acquire)) midi->deliver(frames);
  AudioUnitRenderActionFlags flags = 0;
  const OSStatus err = renderStereo(m_unit, m_sampleTime, frames, m_left.data(), m_right.data(), abl, &flags);
  m_sampleTime += frames;

  const unsigned long long first = m_framesRendered.load(std::memory_order_relaxed);
  unsigned long long loud = 0;
  for (unsigned i = 0; i < frames; ++i) {
    float l = err == noErr ? m_left[i] : 0.f;
    float r = err == noErr ? m_right[i] : 0.f;
    if (!std::isfinite(l)) l = 0.f;
    if (!std::isfinite(r)) r = 0.f;
    interleaved[2 * i] = l;
    interleaved[2 * i + 1] = r;
    if (std::fabs(l) > kGlimmSilence || std::fabs(r) > kGlimmSilence) loud = first + i + 1;
  }
  if (loud) m_lastLoudFrame.store(loud, std::memory_order_release);
  m_framesRendered.store(first + frames, std::memory_order_release);

  if (m_wav) {
    // A block that doesn't fit whole is dropped: a stalled writer must not
    // shift the two channels against each other.
    const size_t n = size_t(frames) * kChannels;
    if (m_ring->freeSpace() >= n) {
      m_ring->write(interleaved, n);
      sem_post(&m_ringData);
    }
  }
}

void AudioOutput::wavWriterLoop() {
  std::vector<float> chunk(kBlockFrames * kChannels * 16);
  for (;;) {
    const bool running = m_writerRunning.load(std::memory_order_acquire);
    const size_t got = m_ring->read(chunk.data(), chunk.size());
    if (got == 0) {
      if (!running) break;
      while (sem_wait(&m_ringData) != 0 && errno == EINTR) {
      }
      continue;
    }
    if (m_wavFailed.load(std::memory_order_relaxed)) continue;  // keep draining so the ring never fills
    const sf_count_t frames = sf_count_t(got / kChannels);
    errno = 0;
    if (sf_writef_float(m_wav, chunk.data(), frames) != frames) {
      const int e = errno;
      m_wavError = "cannot write " + m_wavPath + ": " + (e ? std::strerror(e) : sf_strerror(m_wav));
      m_wavFailed.store(true, std::memory_order_release);
    }
  }
}

bool AudioOutput::start(const std::string& device, std::string* error) {
  if (m_running) return true;
  if (quietPaInitialize() == paNoError) {
    m_paInitialised = true;
    PaDeviceIndex dev = Pa_GetDefaultOutputDevice();
    if (!device.empty()) {
      dev = paNoDevice;
      for (const auto& [name, index] : outputDevices())
        if (name == device) dev = index;
      if (dev == paNoDevice) {
        *error = "there is no audio output device \"" + device + "\"; glimm-host --list-devices lists the names";
        return false;
      }
    }
    m_running = true;
    if (dev == paNoDevice) {
      m_deviceMessage = "no audio output device found";
    } else {
      PaStreamParameters out = {};
      out.device = dev;
      out.channelCount = kChannels;
      out.sampleFormat = paFloat32;
      out.suggestedLatency = Pa_GetDeviceInfo(dev)->defaultLowOutputLatency;
      PaStream* stream = nullptr;
      PaError e = Pa_OpenStream(&stream, nullptr, &out, m_sampleRate, kBlockFrames, paNoFlag, paCallback, this);
      if (e == paNoError) e = Pa_StartStream(stream);
      if (e == paNoError) {
        m_stream = stream;
        if (const PaStreamInfo* info = Pa_GetStreamInfo(stream))
          m_latencyFrames = (unsigned long long)(std::max(0.0, info->outputLatency) * m_sampleRate);
        return true;
      }
      if (stream) Pa_CloseStream(stream);
      m_deviceMessage = std::string("the audio device would not open: ") + Pa_GetErrorText(e);
    }
  } else {
    if (!device.empty()) {
      *error = "the audio system would not start, so there is no audio output device \"" + device + "\"";
      return false;
    }
    m_running = true;
    m_deviceMessage = "the audio system would not start";
  }
  m_nullThread = std::thread(&AudioOutput::nullDeviceLoop, this);
  return true;
}

void AudioOutput::nullDeviceLoop() {
  std::vector<float> block(kBlockFrames * kChannels);
  const auto period = std::chrono::duration<double>(kBlockFrames / m_sampleRate);
  auto next = std::chrono::steady_clock::now();
  while (m_running.load(std::memory_order_acquire)) {
    renderBlock(block.data(), kBlockFrames);
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
    std::this_thread::sleep_until(next);
  }
}

bool AudioOutput::deviceStopped() {
  if (!m_stream || !m_running) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  const unsigned long long frames = framesRendered();
  // A long gap since the last call means this process was not running
  // either: the device gets a fresh chance.
  if (frames != m_watchFrames || now - m_watchAsked > std::chrono::seconds(1)) {
    m_watchFrames = frames;
    m_watchMoved = now;
  }
  m_watchAsked = now;
  return now - m_watchMoved > std::chrono::duration<double>(kStallSeconds);
}

void AudioOutput::stop() {
  if (m_running.exchange(false)) {
    // A device that no longer calls (its JACK server gone) never acknowledges
    // a stop either, and PortAudio would wait for it for many minutes: such a
    // stream is left open, and so is PortAudio, for the process's exit to end.
    if (m_stream) {
      const unsigned long long before = framesRendered();
      for (int i = 0; i < 50 && framesRendered() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (framesRendered() == before) {
        g_streamAbandoned.store(true, std::memory_order_release);
        m_stream = nullptr;
        m_paInitialised = false;
      }
    }
    if (m_stream) {
      Pa_StopStream(static_cast<PaStream*>(m_stream));
      Pa_CloseStream(static_cast<PaStream*>(m_stream));
      m_stream = nullptr;
    }
    if (m_nullThread.joinable()) m_nullThread.join();
  }
  if (m_paInitialised) {
    Pa_Terminate();
    m_paInitialised = false;
  }
  if (m_writer.joinable()) {
    m_writerRunning = false;
    sem_post(&m_ringData);
    m_writer.join();
  }
  if (m_wav) {
    errno = 0;
    // Closing writes the final header: a failure there leaves a file that lies about its length.
    if (sf_close(m_wav) != 0 && !m_wavFailed.exchange(true)) {
      const int e = errno;
      m_wavError = "cannot finish " + m_wavPath + ": " + (e ? std::strerror(e) : "the header could not be written");
    }
    m_wav = nullptr;
  }
}

bool AudioOutput::wavWritten(std::string* error) const {
  if (!wavFailed()) return true;
  *error = m_wavError;
  return false;
}

std::vector<std::string> AudioOutput::listDevices() {
  std::vector<std::string> names;
  if (quietPaInitialize() != paNoError) return names;
  for (const auto& d : outputDevices()) names.push_back(d.first);
  Pa_Terminate();
  return names;
}
