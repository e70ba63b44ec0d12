// The engine behind every SpeechVoice of a process: one engine thread takes
// the voices' jobs (a queued utterance, once taken up) in turn, has the
// synthesis process speak them, and resamples and shapes the audio into the
// voice's ring. One per process, made on first use. Private to the engine's
// sources; everything the engine thread owns is listed under "Engine thread".
#pragma once

#include "SynthesisProcess.h"
#include "OutputShaper.h"
#include "SpeechVoice.h"

#include <condition_variable>
#include <mutex>
#include <thread>

struct soxr;

class SpeechEngine {
 public:
  static SpeechEngine& instance();

  // Control threads. They lock the mutex below.
  void add(const std::shared_ptr<SpeechVoice>& v);
  void remove(SpeechVoice* v);
  // Guards the voices' queued and running jobs. Taken by control threads, the
  // engine thread, and the render thread only in its offline wait.
  std::mutex& mutex() { return m_mutex; }
  // Starts the engine thread if need be and waits until it has started the
  // synthesis process, which lists the voices. The list never changes after.
  const std::vector<SpeechVoiceInfo>& voiceList();
  // Any thread but a real-time one: wakes the engine thread at once (one
  // system call).
  void wake();
  // Any thread: the synthesis process's id, 0 when none runs.
  pid_t processId() const { return m_process.processId(); }

  // Any thread, the render thread included: lock-free and, while audio runs,
  // free of system calls. The engine thread polls the flag every
  // kPollInterval as long as some voice rendered within kActiveWindow; only a
  // post that finds it asleep on the descriptor (after that long without a
  // render call) has to wake it the costly way.
  void post() {
    m_posted.store(true);
    if (m_asleep.load()) wake();
  }
  // Render thread: tells the engine thread that audio is running.
  void rendered() { m_renderTicks.fetch_add(1, std::memory_order_relaxed); }

 private:
  SpeechEngine();
  ~SpeechEngine();

  // The job the engine thread is running: its voice, resampler and buffers.
  struct JobRun {
    SpeechVoice* voice = nullptr;
    uint64_t generation = 0;
    soxr* resampler = nullptr;
    std::vector<float> out;
    bool cancelled = false;
    bool collect = false;  // sung: kept whole to set its level
    std::vector<float> whole;
  };

  // Engine thread.
  void startLocked();
  void waitForWake();
  bool quitting();
  bool listWanted();
  bool listed();
  void run();
  void provideList();
  std::vector<std::shared_ptr<SpeechVoice>> voices();
  void serviceDeferred();
  std::shared_ptr<SpeechVoice> takeJob();
  void runJob(SpeechVoice& v);
  void announce(SpeechVoice& v, const SpeechVoice::Segment& seg);
  void finishSung(JobRun& run, const SpeechSettings& s, double velocity);
  bool speakJob(JobRun& run, const SynthesisJob& spec);
  bool shapeAndPush(JobRun& run, float* data, size_t n);
  bool cancelled(JobRun& run);
  void resample(JobRun& run, const short* in, size_t n);
  bool push(JobRun& run, const float* data, size_t n);

  static constexpr auto kPollInterval = std::chrono::milliseconds(1);
  static constexpr auto kActiveWindow = std::chrono::milliseconds(500);

  // Guarded by m_mutex: the voices, which is next, the quit request, and the
  // start and listing state below.
  std::mutex m_mutex;
  std::vector<std::shared_ptr<SpeechVoice>> m_voices;
  size_t m_nextVoice = 0;
  bool m_quit = false;
  // Written once when the engine thread starts; wake() writes to it.
  int m_eventFd = -1;
  std::thread m_thread;
  // Any thread sets m_posted, the engine thread clears it; the engine thread
  // says whether it sleeps on the descriptor; render threads count their
  // calls in m_renderTicks, which the engine thread watches.
  std::atomic<bool> m_posted{false};
  std::atomic<bool> m_asleep{false};
  std::atomic<uint64_t> m_renderTicks{0};

  // The engine thread has made its first attempt to start the process (and
  // to list the voices).
  bool m_startTried = false;
  std::condition_variable m_startTriedChanged;
  bool m_wantList = false;
  bool m_listed = false;
  std::vector<SpeechVoiceInfo> m_voiceList;  // written once, before m_listed
  std::condition_variable m_listedChanged;

  // Engine thread only.
  const std::chrono::milliseconds m_hangLimit;
  uint64_t m_seenTicks = 0;
  std::chrono::steady_clock::time_point m_activeSince{};
  SpeechVoice::Utterance m_current;
  SynthesisProcess m_process;
  uint32_t m_jobId = 0;
  std::vector<int16_t> m_chunk;
  glimm::OutputShaper m_shaper;
};
