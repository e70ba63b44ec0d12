// Idle: the host with the editor open and nothing happening, against a bare
// Qt window with the same widgets. Counts wake-ups as voluntary context
// switches summed over every thread of the process, and the run-loop
// driver's activations and run-loop work, which must stay at zero.
//   bench_idle [--runs N] [--seconds S] [--quick]
#include "benchpanel.h"
#include "benchutil.h"

#include "editorwindow.h"
#include "unithost.h"

#include <CoreFoundation/CoreFoundation.h>
#include <GlimmRunLoopDriver.h>

#include <QApplication>

#include <cstdio>
#include <map>
#include <memory>

#include <unistd.h>

using namespace bench;

namespace {

int child(const Options& opt, int& qtArgc, char** argv) {
  QApplication app(qtArgc, argv);
  const double seconds = opt.seconds;
  const bool editor = opt.child == "editor";
  // Only the editor's side needs the platform's run loop.
  std::unique_ptr<GlimmRunLoopDriver> driver;
  if (editor) driver = std::make_unique<GlimmRunLoopDriver>();
  ShownWindow shown;
  if (!showWindow(editor ? Side::Editor : Side::Bare, &shown)) return 1;
  spin(1000);

  CFRunLoopRef loop = CFRunLoopGetCurrent();
  const UInt64 passes0 = GlimmCFRunLoopGetPassCount(loop);
  const quint64 activations0 = driver ? driver->activations() : 0;
  const auto before = readThreadSwitches();
  spin(int(seconds * 1000));
  const auto after = readThreadSwitches();
  const UInt64 passes = GlimmCFRunLoopGetPassCount(loop) - passes0;
  const quint64 activations = driver ? driver->activations() - activations0 : 0;

  // Per thread name, so the two processes can be compared thread by thread.
  // Unnamed threads carry the process's name.
  const std::string self = after.count(getpid()) ? after.at(getpid()).name : std::string();
  std::map<std::string, long long> byName;
  for (const auto& [tid, t] : after) {
    const auto was = before.find(tid);
    byName[tid == getpid()  ? "main"
           : t.name == self ? "unnamed"
                            : t.name] += t.voluntary - (was == before.end() ? 0 : was->second.voluntary);
  }
  long long total = 0;
  for (const auto& [name, n] : byName) {
    std::printf("thread %s %.2f/s\n", name.c_str(), double(n) / seconds);
    total += n;
  }
  std::printf("ready total=%.3f main=%.3f others=%.3f activations=%llu passes=%llu threads=%zu\n",
              double(total) / seconds, double(byName["main"]) / seconds, double(total - byName["main"]) / seconds,
              static_cast<unsigned long long>(activations), static_cast<unsigned long long>(passes), after.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int status = startOrRunChild(argc, argv, &opt, child); status >= 0) return status;

  std::vector<double> editorTotal, bareTotal, editorMain, bareMain, editorOthers, bareOthers;
  unsigned long long activations = 0, passes = 0;
  ChildRun lastEditor, lastBare;
  for (int i = 0; i < opt.runs; ++i) {
    lastEditor = runChild(opt, "editor");
    lastBare = runChild(opt, "bare");
    if (!lastEditor.ok || !lastBare.ok) {
      std::fprintf(stderr, "an idle run failed\n");
      return 1;
    }
    editorTotal.push_back(std::atof(lastEditor.value("total").c_str()));
    bareTotal.push_back(std::atof(lastBare.value("total").c_str()));
    editorMain.push_back(std::atof(lastEditor.value("main").c_str()));
    bareMain.push_back(std::atof(lastBare.value("main").c_str()));
    editorOthers.push_back(std::atof(lastEditor.value("others").c_str()));
    bareOthers.push_back(std::atof(lastBare.value("others").c_str()));
    activations += std::strtoull(lastEditor.value("activations").c_str(), nullptr, 10);
    passes += std::strtoull(lastEditor.value("passes").c_str(), nullptr, 10);
  }

  const double et = median(editorTotal), bt = median(bareTotal);
  std::printf("# idle: %d runs of %g s on the %s platform; wake-ups per second, median\n", opt.runs, opt.seconds,
              qgetenv("QT_QPA_PLATFORM").isEmpty() ? "default" : qgetenv("QT_QPA_PLATFORM").constData());
  std::printf("# editor host: main thread %.2f, other threads %.2f (%s threads); bare window: main %.2f, others %.2f\n",
              median(editorMain), median(editorOthers), lastEditor.value("threads").c_str(), median(bareMain),
              median(bareOthers));
  for (const auto* run : {&lastEditor, &lastBare})
    for (const std::string& line : run->lines)
      if (line.rfind("thread ", 0) == 0)
        std::printf("#   %s %s\n", run == &lastEditor ? "editor host" : "bare window", line.c_str() + 7);
  std::printf("# run-loop driver activations %llu, run-loop work items %llu (all runs)\n", activations, passes);
  // The editor and the platform may add nothing: no driver or run-loop work,
  // and no more wake-ups than the bare window.
  const double extra = et - bt;
  printRow("idle", "wake-ups per s", fmt("%.2f", et), fmt("%.2f", bt), bt > 0 ? et / bt : -1, "+0 (editor, platform)",
           activations == 0 && passes == 0 && extra < 0.5);
  return 0;
}
