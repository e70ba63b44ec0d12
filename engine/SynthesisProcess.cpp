#include "SynthesisProcess.h"

#include "SynthesisProtocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace glimm::protocol;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kProgram = "glimm-synthesis";
// Starting the engine reads its data from disk: slow on a cold cache or
// under a sanitizer, but a process that never greets is given up on.
constexpr auto kHelloTimeout = std::chrono::seconds(20);
// How long a process asked to quit may take before it is killed.
constexpr auto kQuitTimeout = std::chrono::milliseconds(500);

bool waitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, int(std::max<long long>(0, left)));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

}  // namespace

std::string glimmEngineExecutable() {
  Dl_info info{};
  link_map* map = nullptr;
  if (!dladdr1(reinterpret_cast<void*>(&glimmEngineExecutable), &info, reinterpret_cast<void**>(&map),
               RTLD_DL_LINKMAP) ||
      !map)
    return {};
  std::string path;
  if (map->l_name && map->l_name[0]) {
    path = map->l_name;
  } else {
    // Linked into the program itself, whose name the loader gives as argv[0].
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    path.assign(buf, size_t(n));
  }
  const size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + kProgram;
}

SynthesisProcess::SynthesisProcess(std::string executable) : m_executable(std::move(executable)) {}

SynthesisProcess::~SynthesisProcess() { stop(); }

bool SynthesisProcess::ensure() {
  if (running()) return true;
  if (m_failures > 0 && Clock::now() < m_retryAt) return false;
  if (spawn() && readHello()) {
    m_failures = 0;
    return true;
  }
  if (running()) kill();
  // Half a second after the first failure, doubling up to a minute.
  ++m_failures;
  m_retryAt = Clock::now() + std::chrono::milliseconds(500) * (1 << std::min(m_failures - 1, 7));
  if (!m_toldFailure) {
    m_toldFailure = true;
    std::fprintf(stderr, "glimm: the speech engine could not start (%s)\n",
                 m_executable.empty() ? kProgram : m_executable.c_str());
  }
  return false;
}

bool SynthesisProcess::spawn() {
  if (m_executable.empty()) return false;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
  // Above the descriptor the child expects, so the dup2 there is a real one
  // (which clears close-on-exec on the copy and nothing else).
  const int theirs = ::fcntl(sv[1], F_DUPFD_CLOEXEC, kSocketFd + 1);
  ::close(sv[1]);
  if (theirs < 0) {
    ::close(sv[0]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The host's output is its own (glimm-host --list-voices prints there).
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, theirs, kSocketFd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // This thread's mask and the host's ignored signals are not the child's.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char parent[24];
  std::snprintf(parent, sizeof parent, "%ld", long(::getpid()));
  char* const argv[] = {const_cast<char*>(m_executable.c_str()), const_cast<char*>(kEngineArg), parent, nullptr};
  pid_t pid = 0;
  const int err = posix_spawn(&pid, m_executable.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(theirs);
  if (err != 0) {
    ::close(sv[0]);
    return false;
  }
  m_fd = sv[0];
  m_pid = pid;
  return true;
}

bool SynthesisProcess::readHello() {
  if (!waitReadable(m_fd, Clock::now() + kHelloTimeout)) return false;
  Header h;
  if (readMessage(m_fd, h, m_payload, fromProcess) != ReadResult::Ok || h.type != Hello) return false;
  Reader r(m_payload.data(), m_payload.size());
  uint32_t version = 0, rate = 0;
  if (!r.u32(version) || version != kVersion || !r.u32(rate) || rate < 1000 || rate > 384000 || !r.atEnd())
    return false;
  m_rate = int(rate);
  return true;
}

bool SynthesisProcess::listVoices(std::vector<SpeechVoiceInfo>& out) {
  if (!running()) return false;
  Header h;
  if (!Writer(ListVoices).send(m_fd) || !waitReadable(m_fd, Clock::now() + kHelloTimeout) ||
      readMessage(m_fd, h, m_payload, fromProcess) != ReadResult::Ok || h.type != Voices) {
    kill();
    return false;
  }
  Reader r(m_payload.data(), m_payload.size());
  uint32_t count = 0;
  // Each voice takes at least its four lengths: a count beyond what the
  // payload could hold is refused before anything is allocated for it.
  if (!r.u32(count) || count > kMaxVoices || count > r.left() / 16) {
    kill();
    return false;
  }
  std::vector<SpeechVoiceInfo> voices(count);
  for (SpeechVoiceInfo& v : voices)
    if (!r.str(v.name) || !r.str(v.identifier) || !r.str(v.description) || !r.str(v.languages)) break;
  if (!r.atEnd()) {
    kill();
    return false;
  }
  out = std::move(voices);
  return true;
}

bool SynthesisProcess::sendJob(const SynthesisJob& job) {
  if (!running()) return false;
  return Writer(Job)
      .u32(job.id)
      .i32(job.rate)
      .i32(job.pitch)
      .i32(job.range)
      .i32(job.volume)
      .i32(job.throatPercent)
      .i32(job.mouthPercent)
      .i32(job.f0)
      .u32((job.phonetic ? uint32_t(Phonetic) : 0u) | (job.whole ? uint32_t(Whole) : 0u) |
           (job.lyric ? uint32_t(Lyric) : 0u))
      .u32(job.note)
      .str(job.voice.substr(0, kMaxString))
      .str(job.text.substr(0, kMaxText))
      .send(m_fd);
}

bool SynthesisProcess::sendCancel(uint32_t id) { return running() && Writer(Cancel).u32(id).send(m_fd); }

SynthesisProcess::Event SynthesisProcess::next(int wakeFd, std::chrono::milliseconds timeout, uint32_t& id,
                                               std::vector<int16_t>& samples) {
  if (!running()) return Event::Died;
  pollfd p[2] = {{m_fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const int r = ::poll(p, wakeFd >= 0 ? 2 : 1, int(timeout.count()));
  if (r < 0) return errno == EINTR ? Event::Timeout : (kill(), Event::Died);
  if (r == 0) return Event::Timeout;
  if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return Event::Woken;
  Header h;
  if (readMessage(m_fd, h, m_payload, fromProcess) != ReadResult::Ok) {
    kill();
    return Event::Died;
  }
  Reader rd(m_payload.data(), m_payload.size());
  if (h.type == Samples && rd.u32(id) && rd.left() % sizeof(int16_t) == 0) {
    samples.resize(rd.left() / sizeof(int16_t));
    rd.raw(samples.data(), rd.left());
    return Event::Samples;
  }
  uint32_t status = 0, begin = 0, end = 0, flags = 0;
  if (h.type == End && rd.u32(id) && rd.u32(status) && rd.u32(begin) && rd.u32(end) && rd.u32(flags) && rd.atEnd() &&
      begin <= end) {
    m_vowel = {begin, end, (flags & EndDiphthong) != 0};
    return Event::End;
  }
  // A second greeting or a malformed message: nothing it says can be trusted.
  kill();
  return Event::Died;
}

void SynthesisProcess::reap(bool force) {
  const pid_t pid = m_pid.exchange(0);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (pid <= 0) return;
  // Only our own child, and only while it is unreaped: once the host has
  // reaped it (ECHILD), its number may belong to another process.
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r != 0) return;
  if (!force) {
    const auto deadline = Clock::now() + kQuitTimeout;
    while (Clock::now() < deadline) {
      ::usleep(2000);
      while ((r = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
      }
      if (r != 0) return;
    }
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void SynthesisProcess::kill() { reap(true); }

void SynthesisProcess::stop() {
  if (!running()) return;
  Writer(Quit).send(m_fd);
  // Closing our end is the other way to say it: the process ends on EOF.
  reap(false);
}
