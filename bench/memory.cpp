// Memory: resident size of the host with the editor open, against a bare Qt
// window with the same widgets; the host without its editor (unit loaded,
// window shown) shows how much of the difference is the unit's.
//   bench_memory [--runs N] [--quick]
#include "benchpanel.h"
#include "benchutil.h"

#include "editorwindow.h"
#include "unithost.h"

#include <GlimmRunLoopDriver.h>

#include <QApplication>

#include <cstdio>
#include <memory>

using namespace bench;

namespace {

int child(const Options& opt, int& qtArgc, char** argv) {
  QApplication app(qtArgc, argv);
  const Side side = sideNamed(opt.child);
  // The bare panel is plain Qt: no platform run loop in its figures.
  std::unique_ptr<GlimmRunLoopDriver> driver;
  if (side != Side::Bare) driver = std::make_unique<GlimmRunLoopDriver>();
  ShownWindow shown;
  if (!showWindow(side, &shown)) return 1;
  spin(500);
  const Memory m = readMemory();
  std::printf("ready rss_kb=%lld pss_kb=%lld\n", m.rssKb, m.pssKb);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int status = startOrRunChild(argc, argv, &opt, child); status >= 0) return status;

  std::vector<double> rss[3], pss[3];
  const char* sides[3] = {"editor", "bare", "host"};
  for (int i = 0; i < opt.runs; ++i) {
    for (int s = 0; s < 3; ++s) {
      const ChildRun r = runChild(opt, sides[s]);
      if (!r.ok) {
        std::fprintf(stderr, "a memory run failed (%s)\n", sides[s]);
        return 1;
      }
      rss[s].push_back(std::atof(r.value("rss_kb").c_str()) / 1024);
      pss[s].push_back(std::atof(r.value("pss_kb").c_str()) / 1024);
    }
  }
  const double re = median(rss[0]), rb = median(rss[1]), rh = median(rss[2]);
  const double pe = median(pss[0]), pb = median(pss[1]), ph = median(pss[2]);
  std::printf(
      "# memory: medians of %d runs; host without its editor (unit loaded, window shown): RSS %.1f MiB, "
      "PSS %.1f MiB\n",
      opt.runs, rh, ph);
  printRow("memory", "RSS (MiB)", fmt("%.1f", re), fmt("%.1f", rb), re / rb, "<= 1.3", re <= 1.3 * rb);
  printRow("memory", "PSS (MiB)", fmt("%.1f", pe), fmt("%.1f", pb), pe / pb, "<= 1.3", pe <= 1.3 * pb);
  return 0;
}
