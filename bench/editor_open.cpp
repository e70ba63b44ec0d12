// Opening the editor: from asking the unit's view factory to the panel shown
// and filled with the unit's values, against building the same panel directly
// in Qt. Warm: both sides again and again in one running host. Cold: a fresh
// process each, from spawn (QApplication included) to the panel on screen;
// the editor process also loads the unit, which is timed and left out.
//   bench_editor_open [--runs N] [--quick]   (GLIMM_BENCH_WARM_ONLY=1: skip the cold runs)
#include "benchpanel.h"
#include "benchutil.h"

#include "editorwindow.h"
#include "unithost.h"

#include <GlimmRunLoopDriver.h>

#include <QApplication>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace bench;

namespace {

// Fresh process: the host's start-up, then one panel on screen.
int coldChild(const Options& opt, int& qtArgc, char** argv) {
  QApplication app(qtArgc, argv);
  GlimmRunLoopDriver driver;
  ShownWindow shown;
  if (!showWindow(opt.child == "editor" ? Side::Editor : Side::Bare, &shown)) return 1;
  std::printf("ready unit_ms=%.3f\n", shown.unitLoadMs);
  std::fflush(stdout);
  shown.window.reset();
  return 0;
}

enum class WarmSide { Editor, Bare, BareNative };

// One warm open in this process; milliseconds, or a negative number on failure.
// BareNative builds the direct panel in a native container that is then moved
// into the window, as the host does with the editor's: it shows what the
// native window alone costs.
double warmOpen(WarmSide side, UnitHost& unit) {
  const bool editor = side == WarmSide::Editor;
  auto window = std::make_unique<EditorWindow>(editor ? unit.unit() : nullptr, [] {});
  window->show();
  if (!waitExposed(window.get())) return -1;
  PaintWaiter painted;
  const int64_t t0 = nowNs();
  if (editor) {
    QString error;
    if (!window->openEditor(&error)) {
      std::fprintf(stderr, "%s\n", qPrintable(error));
      return -1;
    }
  } else if (side == WarmSide::Bare) {
    window->panelHost()->setFixedSize(440, 320);
    buildBarePanel(window->panelHost());
  } else {
    auto* container = new QWidget;
    container->setAttribute(Qt::WA_NativeWindow);
    container->setFixedSize(440, 320);
    container->winId();
    buildBarePanel(container);
    container->show();
    window->panelHost()->setFixedSize(440, 320);
    container->setParent(window->panelHost());
    container->move(0, 0);
    container->show();
  }
  if (!painted.wait(window->panelHost())) return -1;
  const double ms = msBetween(t0, nowNs());
  window.reset();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int status = startOrRunChild(argc, argv, &opt, coldChild); status >= 0) return status;

  std::vector<double> coldEditor, coldBare, coldRaw, unitLoad;
  if (std::getenv("GLIMM_BENCH_WARM_ONLY")) opt.runs = 0;
  // One unmeasured pair first, so both sides start from a warm page cache.
  for (int i = -1; i < opt.runs; ++i) {
    const ChildRun e = runChild(opt, "editor");
    const ChildRun b = runChild(opt, "bare");
    if (!e.ok || !b.ok) {
      std::fprintf(stderr, "a cold run failed\n");
      return 1;
    }
    if (i < 0) continue;
    const double unitMs = std::atof(e.value("unit_ms").c_str());
    coldRaw.push_back(e.readyMs);
    unitLoad.push_back(unitMs);
    coldEditor.push_back(e.readyMs - unitMs);
    coldBare.push_back(b.readyMs);
  }

  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  GlimmRunLoopDriver driver;
  UnitHost unit;
  if (!loadUnit(&unit)) return 1;
  // Warm opens are cheap and noisy: many more of them.
  std::vector<double> warmEditor, warmBare, warmNative;
  const int warmRuns = opt.quick ? 1 : std::max(opt.runs * 10, 50);
  for (int i = -1; i < warmRuns; ++i) {
    const double e = warmOpen(WarmSide::Editor, unit);
    const double b = warmOpen(WarmSide::Bare, unit);
    const double n = warmOpen(WarmSide::BareNative, unit);
    if (e < 0 || b < 0 || n < 0) {
      std::fprintf(stderr, "a warm open failed\n");
      return 1;
    }
    if (i < 0) continue;
    warmEditor.push_back(e);
    warmBare.push_back(b);
    warmNative.push_back(n);
  }

  const double we = median(warmEditor), wb = median(warmBare);
  const double ce = median(coldEditor), cb = median(coldBare);
  std::printf("# editor_open: medians of %d warm and %d cold runs on the %s platform\n", warmRuns, opt.runs,
              qPrintable(QApplication::platformName()));
  std::printf("# cold editor process %.1f ms, of which loading the unit %.1f ms\n", median(coldRaw), median(unitLoad));
  printRow("editor_open", "warm open (ms)", fmt("%.2f", we), fmt("%.2f", wb), we / wb, "<= 1.25", we <= 1.25 * wb);
  const double wn = median(warmNative);
  std::printf("# warm open of the direct panel in a native container moved into the window: %.2f ms (%.2f x)\n", wn,
              wn / wb);
  printRow("editor_open", "cold open (ms)", fmt("%.1f", ce), fmt("%.1f", cb), ce / cb, "<= 1.25", ce <= 1.25 * cb);
  return 0;
}
