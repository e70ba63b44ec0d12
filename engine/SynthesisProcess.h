// The engine's side of the synthesis process: starting it (posix_spawn, never
// a bare fork: the host is multithreaded), talking to it over a socket pair,
// and reaping it when it ends or dies. A fault in espeak-ng costs that process
// and the job it was on; the next job starts a new one.
//
// Every call but processId() belongs to the engine thread. No signal
// handler is installed and no process state (locale, environment) changed.
#pragma once

#include "SpeechVoice.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct SynthesisJob {
  uint32_t id = 0;
  int rate = 0, pitch = 0, range = 0, volume = 0;
  int throatPercent = 100, mouthPercent = 100;
  int f0 = 0;  // Hz held flat, 0: the voice's own intonation
  bool phonetic = false;
  bool whole = false;  // none of it plays before all of it is there
  bool lyric = false;  // text is a lyric; `note` picks the syllable
  uint32_t note = 0;
  std::string voice;  // a listed identifier, or empty for English
  std::string text;
};

class SynthesisProcess {
 public:
  // `executable`: the synthesis program; empty when it could not be found.
  explicit SynthesisProcess(std::string executable);
  ~SynthesisProcess();

  // Starts the process unless one runs, waiting for its greeting. After a
  // failed start the next attempt waits a while (longer each time), so an
  // engine that cannot start (no data, say) is not started again and again.
  bool ensure();
  bool running() const { return m_fd >= 0; }
  int sampleRate() const { return m_rate; }
  // Asks the running process for the installed voices (between jobs only).
  // False, with the process gone, when it does not answer as it should.
  bool listVoices(std::vector<SpeechVoiceInfo>& out);
  // Any thread: the running process's id, 0 when none runs (diagnostics).
  pid_t processId() const { return m_pid.load(); }

  bool sendJob(const SynthesisJob& job);
  bool sendCancel(uint32_t id);

  enum class Event { Samples, End, Woken, Timeout, Died };
  // Waits up to timeout for the process's next message, or until wakeFd is
  // readable (left unread). Samples: `samples` holds the chunk of job `id`.
  // Died: the process ended or broke the protocol; it is gone and reaped.
  Event next(int wakeFd, std::chrono::milliseconds timeout, uint32_t& id, std::vector<int16_t>& samples);

  // The last vowel of the job that ended last, in the process's samples
  // from the job's start (begin == end: none).
  struct Vowel {
    uint32_t begin = 0, end = 0;
    bool diphthong = false;
  };
  const Vowel& lastVowel() const { return m_vowel; }

  // Ends the process for good: asks, waits a bounded time, then kills.
  void stop();
  // Ends it at once (a hung job) and reaps it.
  void kill();

  SynthesisProcess(const SynthesisProcess&) = delete;
  SynthesisProcess& operator=(const SynthesisProcess&) = delete;

 private:
  bool spawn();
  bool readHello();
  void reap(bool force);

  const std::string m_executable;
  int m_fd = -1;
  std::atomic<pid_t> m_pid{0};
  int m_rate = 0;
  std::vector<char> m_payload;
  Vowel m_vowel;
  int m_failures = 0;
  std::chrono::steady_clock::time_point m_retryAt{};
  bool m_toldFailure = false;
};

// The synthesis program beside the module (or executable) holding this code.
std::string glimmEngineExecutable();
