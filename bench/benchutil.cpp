#include "benchutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

extern char** environ;

namespace bench {

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--quick") {
      o->quick = true;
      o->runs = 1;
      o->seconds = 0.5;
    } else if (a == "--runs" && hasValue) {
      o->runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--seconds" && hasValue) {
      o->seconds = std::max(0.1, std::atof(argv[++i]));
    } else if (a == "--child" && hasValue) {
      o->child = argv[++i];
    } else {
      std::fprintf(stderr, "%s: unknown argument %s\nusage: %s [--quick] [--runs N] [--seconds S]\n", argv[0],
                   a.c_str(), argv[0]);
      return false;
    }
  }
  return true;
}

int startOrRunChild(int argc, char** argv, Options* options, ChildMain child) {
  if (!parseOptions(argc, argv, options)) return 2;
  if (options->child.empty()) return -1;
  // Qt sees the program name only: the options are not its own.
  int qtArgc = 1;
  return child(*options, qtArgc, argv);
}

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double msBetween(int64_t fromNs, int64_t toNs) { return double(toNs - fromNs) / 1e6; }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::map<int, ThreadSwitches> readThreadSwitches() {
  std::map<int, ThreadSwitches> out;
  DIR* d = opendir("/proc/self/task");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
    ThreadSwitches t;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) {
        t.name = line.substr(5);
        t.name.erase(0, t.name.find_first_not_of(" \t"));
      } else if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        t.voluntary = std::atoll(line.c_str() + 24);
      }
    }
    out[tid] = t;
  }
  closedir(d);
  return out;
}

long long totalVoluntary(const std::map<int, ThreadSwitches>& t) {
  long long sum = 0;
  for (const auto& [tid, s] : t) sum += s.voluntary;
  return sum;
}

Memory readMemory() {
  Memory m;
  std::ifstream f("/proc/self/smaps_rollup");
  for (std::string line; std::getline(f, line);) {
    if (line.rfind("Rss:", 0) == 0) m.rssKb = std::atoll(line.c_str() + 4);
    if (line.rfind("Pss:", 0) == 0) m.pssKb = std::atoll(line.c_str() + 4);
  }
  return m;
}

std::string ChildRun::value(const std::string& key) const {
  const std::string prefix = key + "=";
  for (const std::string& line : lines) {
    std::istringstream words(line);
    for (std::string w; words >> w;)
      if (w.rfind(prefix, 0) == 0) return w.substr(prefix.size());
  }
  return {};
}

ChildRun runSelf(const std::vector<std::string>& args, double timeoutSeconds) {
  ChildRun run;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return run;
  self[n] = '\0';
  std::vector<char*> argv{self};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int64_t t0 = nowNs();
  const int err = posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (err != 0) {
    close(fds[0]);
    std::fprintf(stderr, "cannot start %s: %s\n", self, std::strerror(err));
    return run;
  }

  std::string pending;
  bool ready = false, timedOut = false;
  const int64_t deadline = t0 + int64_t(timeoutSeconds * 1e9);
  for (;;) {
    const int64_t left = deadline - nowNs();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, int(left / 1000000) + 1) < 0 && errno != EINTR) break;
    if (!(p.revents & (POLLIN | POLLHUP))) continue;
    char buf[4096];
    const ssize_t got = read(fds[0], buf, sizeof buf);
    const int64_t at = nowNs();
    if (got <= 0) break;
    pending.append(buf, size_t(got));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
      const std::string line = pending.substr(0, nl);
      if (!ready && line.rfind("ready", 0) == 0) {
        ready = true;
        run.readyMs = msBetween(t0, at);
      }
      run.lines.push_back(line);
    }
  }
  close(fds[0]);
  if (timedOut) {
    std::fprintf(stderr, "child %s timed out\n", args.empty() ? "" : args.back().c_str());
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.ok = !timedOut && ready && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok)
    for (const std::string& line : run.lines) std::fprintf(stderr, "  child: %s\n", line.c_str());
  return run;
}

ChildRun runChild(const Options& options, const std::string& side) {
  return runSelf({"--seconds", fmt("%g", options.seconds), "--child", side}, options.seconds + 60);
}

void printRow(const std::string& bench, const std::string& metric, const std::string& figure,
              const std::string& baseline, double ratio, const std::string& goal, bool met) {
  std::printf("row|%s|%s|%s|%s|%s|%s|%s\n", bench.c_str(), metric.c_str(), figure.c_str(), baseline.c_str(),
              ratio >= 0 ? fmt("%.2f", ratio).c_str() : "-", goal.c_str(), met ? "met" : "MISSED");
  std::fflush(stdout);
}

std::string fmt(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

}  // namespace bench
