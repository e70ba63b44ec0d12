// What /proc says about processes: a test's children (running or zombie) and
// where a process's descriptors lead.
#pragma once

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace probe {

// The processes whose parent is `parent`, with their state letter ('Z': zombie).
inline std::map<pid_t, char> children(pid_t parent = getpid()) {
  std::map<pid_t, char> found;
  DIR* d = opendir("/proc");
  if (!d) return found;
  while (dirent* e = readdir(d)) {
    const pid_t pid = pid_t(std::atol(e->d_name));
    if (pid <= 0) continue;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(f, line)) continue;
    // "pid (comm) state ppid ...": the name may hold spaces and parentheses.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    long ppid = 0;
    if (rest >> state >> ppid && ppid == parent) found[pid] = state;
  }
  closedir(d);
  return found;
}

// Descriptor number -> what it leads to ("socket:[123]", "/dev/null", ...).
inline std::map<int, std::string> descriptors(pid_t pid) {
  std::map<int, std::string> found;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return found;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[4096];
    const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    found[std::atoi(e->d_name)] = n > 0 ? std::string(target, size_t(n)) : std::string();
  }
  closedir(d);
  return found;
}

inline bool exists(pid_t pid) { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

// Neither gone nor a zombie (one that a parent other than ours has yet to reap).
inline bool running(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(f, line)) return false;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace probe
