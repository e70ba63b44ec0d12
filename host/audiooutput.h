// Pulls audio from a unit with AudioUnitRender on an audio thread: a PortAudio
// device when one opens, otherwise a thread paced to real time, so the host
// behaves the same on a machine without sound. Optionally taps everything
// rendered into a WAV file through a lock-free ring and a writer thread.
#pragma once

#include <AudioUnit/AudioUnit.h>

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct sf_private_tag;
class SpscRing;
class MidiInput;

class AudioOutput {
 public:
  static constexpr unsigned kBlockFrames = 256;
  static constexpr unsigned kChannels = 2;

  explicit AudioOutput(AudioUnit unit, double sampleRate);
  ~AudioOutput();
  AudioOutput(const AudioOutput&) = delete;
  AudioOutput& operator=(const AudioOutput&) = delete;

  // Starts the WAV tap before start(); false with `error` when the file can't be made.
  bool openWav(const std::string& path, std::string* error);
  // MIDI to hand to the unit at the start of each block; any time, but the
  // input must outlive the output's audio thread (stop()).
  void setMidiInput(MidiInput* midi) { m_midi.store(midi, std::memory_order_release); }
  // Starts audio on the default device (`device` empty), or on `device` as
  // listDevices() names it. Without a device it renders on a paced thread
  // instead, deviceMessage() saying why; only an unknown `device` makes it
  // fail, with `error` saying so.
  bool start(const std::string& device, std::string* error);
  void stop();

  bool hasDevice() const { return m_stream != nullptr; }
  // Main thread, every half second or so while audio runs: true once the
  // device has asked for no audio for kStallSeconds (a JACK server that quit,
  // a device unplugged). Time the caller itself was not running (a suspended
  // machine) does not count. Always false without a device.
  bool deviceStopped();
  static constexpr double kStallSeconds = 3.0;
  // Why there is no device, when there is none: not a failure, the host plays on.
  const std::string& deviceMessage() const { return m_deviceMessage; }
  // Whether writing the WAV file has failed (a full disk, a file size limit);
  // audio goes on regardless. Any thread.
  bool wavFailed() const { return m_wavFailed.load(std::memory_order_acquire); }
  // Once stop() has returned: false with `error` saying why when the WAV
  // file was not written whole.
  bool wavWritten(std::string* error) const;

  // Frames rendered so far, and the index one past the last frame louder than
  // the silence threshold (0 when nothing was heard yet).
  unsigned long long framesRendered() const { return m_framesRendered.load(std::memory_order_acquire); }
  unsigned long long lastLoudFrame() const { return m_lastLoudFrame.load(std::memory_order_acquire); }

  // How far the device plays behind what has been rendered, in frames (0
  // without a device).
  unsigned long long latencyFrames() const { return m_latencyFrames; }

  // The output devices by the names start() takes, the default first: the
  // device's own name, or "API: name" where two audio APIs share a name.
  static std::vector<std::string> listDevices();

  // Renders one block into `interleaved` (kBlockFrames * kChannels floats).
  void renderBlock(float* interleaved, unsigned frames);

 private:
  void nullDeviceLoop();
  void wavWriterLoop();

  AudioUnit m_unit;
  double m_sampleRate;
  std::atomic<MidiInput*> m_midi{nullptr};
  void* m_stream = nullptr;
  unsigned long long m_latencyFrames = 0;
  bool m_paInitialised = false;
  // deviceStopped()'s view: the frame count it last saw move, when, and when it was last asked.
  unsigned long long m_watchFrames = 0;
  std::chrono::steady_clock::time_point m_watchMoved{}, m_watchAsked{};
  std::thread m_nullThread;
  std::atomic<bool> m_running{false};

  // Pre-allocated so the audio thread never allocates.
  std::vector<float> m_left, m_right;
  std::vector<unsigned char> m_bufferListStorage;
  double m_sampleTime = 0;

  std::atomic<unsigned long long> m_framesRendered{0};
  std::atomic<unsigned long long> m_lastLoudFrame{0};

  // WAV tap: single producer (audio thread), single consumer (writer thread).
  sf_private_tag* m_wav = nullptr;
  std::unique_ptr<SpscRing> m_ring;
  std::thread m_writer;
  std::atomic<bool> m_writerRunning{false};
  std::atomic<bool> m_wavFailed{false};
  std::string m_wavPath, m_wavError;  // m_wavError: the writer's until it is joined
  sem_t m_ringData;                   // posted per block; sem_post is safe on the audio thread

  std::string m_deviceMessage;
};
