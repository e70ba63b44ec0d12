// Shared by the editor benchmarks: options, process figures from /proc,
// child processes for cold runs, and the table row format run.sh collects.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Options {
  int runs = 5;         // medians over this many runs
  double seconds = 10;  // length of timed phases
  bool quick = false;   // smoke mode: one run, half a second
  std::string child;    // set in a child process: which side to run
};

// Understands --quick, --runs N, --seconds S and --child NAME; false (with a
// message on stderr) for anything else.
bool parseOptions(int argc, char** argv, Options* options);

// What a child process runs; its QApplication takes `qtArgc` and `argv`.
using ChildMain = int (*)(const Options& options, int& qtArgc, char** argv);
// Where every benchmark's main starts: parses the options and, in a child
// (--child), runs `child`. The exit status when the process is done (2 for
// bad options), or -1 in the parent, which goes on.
int startOrRunChild(int argc, char** argv, Options* options, ChildMain child);

int64_t nowNs();
double msBetween(int64_t fromNs, int64_t toNs);
double median(std::vector<double> values);
// Process CPU time, all threads, user + system.
double cpuSeconds();

struct ThreadSwitches {
  std::string name;
  long long voluntary = 0;
};
// Voluntary context switches of every thread of this process, by thread id.
std::map<int, ThreadSwitches> readThreadSwitches();
long long totalVoluntary(const std::map<int, ThreadSwitches>& t);

struct Memory {
  long long rssKb = -1;
  long long pssKb = -1;
};
Memory readMemory();

struct ChildRun {
  bool ok = false;
  double readyMs = 0;                               // spawn to the child's "ready" line
  std::vector<std::string> lines;                   // everything the child printed
  std::string value(const std::string& key) const;  // "key=value" words of its lines
};
// Runs this executable again with `args` and waits for it to finish.
ChildRun runSelf(const std::vector<std::string>& args, double timeoutSeconds);
// A child that runs `side` for the options' seconds; given up a minute after those.
ChildRun runChild(const Options& options, const std::string& side);

// One row of the table run.sh prints.
void printRow(const std::string& bench, const std::string& metric, const std::string& figure,
              const std::string& baseline, double ratio, const std::string& goal, bool met);
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench
