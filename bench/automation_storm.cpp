// Automation storm: a thread sets every one of the unit's parameters 1000
// times a second, as host automation does (value set, change announced), while
// the editor is open. Measures how often the editor is told (run-loop
// deliveries on the main thread), the process's CPU time against the same
// storm with the host window but no editor, and whether the panel ends up
// showing the last value of every parameter.
//   bench_automation_storm [--runs N] [--seconds S] [--quick]
#include "benchpanel.h"
#include "benchutil.h"

#include "AUGlimm3_Interface.h"
#include "GlimmContract.h"
#include "editorwindow.h"
#include "unithost.h"

#include <GlimmRunLoopDriver.h>

#include <CoreFoundation/CoreFoundation.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QSlider>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

using namespace bench;

namespace {

constexpr int kRatePerSecond = 1000;

float stormValue(int param, long k) {
  switch (param) {
    case kGlimmParam_Pitch:
      return float(k % 256);
    case kGlimmParam_Speed:
      return float(20 + k % 181);
    case kGlimmParam_Mouth:
      return float((k * 7) % 256);
    case kGlimmParam_Throat:
      return float(255 - k % 256);
    case kGlimmParam_Phonetic:  // out of step with the other switches, so none can pass for another
      return float((k + 1) % 2);
    default:
      return float(k % 2);
  }
}

// Paced by absolute deadlines, so a late wake-up is made up rather than lost.
long runStorm(UnitHost& unit, double seconds) {
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  const long rounds = long(seconds * kRatePerSecond);
  for (long k = 0; k < rounds; ++k) {
    for (int p = 0; p < kGlimmParamCount; ++p) unit.setParameter(AudioUnitParameterID(p), stormValue(p, k));
    next.tv_nsec += 1000000000 / kRatePerSecond;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
  }
  return rounds;
}

template <class W>
W* widgetAt(QWidget* root, QRect geometry) {
  for (W* w : root->findChildren<W*>())
    if (w->geometry() == geometry) return w;
  return nullptr;
}

// Where the panel shows each parameter: its slider or switch and the label
// beside it (the number, or ON/OFF); the switches sit in the config group.
struct ShownAt {
  int x, y, width;
};
struct ParameterView {
  ShownAt control, label;
};
constexpr ParameterView kParameterViews[] = {
    {{100, 185, 120}, {230, 185, 50}},  // pitch
    {{100, 210, 120}, {230, 210, 50}},  // speed
    {{100, 235, 120}, {230, 235, 50}},  // mouth
    {{100, 260, 120}, {230, 260, 50}},  // throat
    {{180, 70, 28}, {230, 70, 36}},     // sing mode
    {{180, 20, 28}, {230, 20, 36}},     // phonetic mode
    {{180, 45, 28}, {230, 45, 36}},     // filter
};
static_assert(std::size(kParameterViews) == kGlimmParamCount, "every parameter is looked for on the panel");

QRect rectOf(ShownAt at) { return QRect(at.x, at.y, at.width, 16); }

// How many of the parameters the panel shows at the storm's last value.
int lastValuesShown(QWidget* root, long lastRound) {
  int shown = 0;
  for (const GlimmParameterFacts& p : kGlimmParameters) {
    const int want = int(stormValue(p.index, lastRound));
    const QString text = !p.toggle ? QString::number(want) : want ? QStringLiteral("ON") : QStringLiteral("OFF");
    auto* control = widgetAt<QSlider>(root, rectOf(kParameterViews[p.index].control));
    auto* label = widgetAt<QLabel>(root, rectOf(kParameterViews[p.index].label));
    if (control && label && control->value() == want && label->text() == text) ++shown;
  }
  return shown;
}

int child(const Options& opt, int& qtArgc, char** argv) {
  QApplication app(qtArgc, argv);
  const double seconds = opt.seconds;
  GlimmRunLoopDriver driver;
  // Both sides load the unit and storm it; the baseline just has no editor.
  const bool editor = opt.child == "editor";
  ShownWindow shown;
  if (!showWindow(editor ? Side::Editor : Side::Host, &shown, true)) return 1;
  UnitHost& unit = *shown.unit;
  spin(300);

  CFRunLoopRef loop = CFRunLoopGetCurrent();
  const UInt64 passes0 = GlimmCFRunLoopGetPassCount(loop);
  const double cpu0 = cpuSeconds();
  const int64_t t0 = nowNs();
  QEventLoop stormLoop;
  long rounds = 0;
  UInt64 passesInStorm = 0;
  std::thread storm([&] {
    rounds = runStorm(unit, seconds);
    // Counted as the storm ends: what comes later is the coalesced tail.
    passesInStorm = GlimmCFRunLoopGetPassCount(loop) - passes0;
    QMetaObject::invokeMethod(&stormLoop, "quit", Qt::QueuedConnection);
  });
  stormLoop.exec();
  storm.join();
  const double stormSeconds = msBetween(t0, nowNs()) / 1000;
  // The last coalesced change is due one notification interval (50 ms) later.
  spin(200);
  const double cpu = cpuSeconds() - cpu0;
  const double wall = msBetween(t0, nowNs()) / 1000;
  const UInt64 passes = GlimmCFRunLoopGetPassCount(loop) - passes0;

  const int valuesShown = editor ? lastValuesShown(shown.window->panelHost(), rounds - 1) : 0;
  std::printf("ready deliveries=%llu in_storm=%llu storm_s=%.3f sets_per_s=%.1f cpu_s=%.4f wall_s=%.4f shown=%d\n",
              static_cast<unsigned long long>(passes), static_cast<unsigned long long>(passesInStorm), stormSeconds,
              rounds / stormSeconds, cpu, wall, valuesShown);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int status = startOrRunChild(argc, argv, &opt, child); status >= 0) return status;

  std::vector<double> perParam, total, cpuEditor, cpuBare, setRate;
  int runsAllShown = 0;
  std::string shownPerRun;
  for (int i = 0; i < opt.runs; ++i) {
    const ChildRun e = runChild(opt, "editor");
    const ChildRun b = runChild(opt, "bare");
    if (!e.ok || !b.ok) {
      std::fprintf(stderr, "a storm run failed\n");
      return 1;
    }
    const double stormS = std::atof(e.value("storm_s").c_str());
    // The first change after a quiet spell goes out at once and each later one
    // waits for the interval, so the rate is that of the intervals between
    // the deliveries made while the storm lasted.
    const double inStorm = std::atof(e.value("in_storm").c_str()) / kGlimmParamCount;
    perParam.push_back((inStorm - 1) / stormS);
    total.push_back(std::atof(e.value("deliveries").c_str()) / kGlimmParamCount);
    // Share of one core over the run's wall time.
    cpuEditor.push_back(100 * std::atof(e.value("cpu_s").c_str()) / std::atof(e.value("wall_s").c_str()));
    cpuBare.push_back(100 * std::atof(b.value("cpu_s").c_str()) / std::atof(b.value("wall_s").c_str()));
    setRate.push_back(std::atof(e.value("sets_per_s").c_str()));
    const int shown = std::atoi(e.value("shown").c_str());
    if (shown == kGlimmParamCount) ++runsAllShown;
    shownPerRun += fmt(" %d/%d", shown, kGlimmParamCount);
  }

  const double d = median(perParam), ce = median(cpuEditor), cb = median(cpuBare);
  std::printf("# automation_storm: %d runs of %g s, %.0f rounds/s of %d parameters reached the unit (median)\n",
              opt.runs, opt.seconds, median(setRate), kGlimmParamCount);
  std::printf("# deliveries per parameter in all, the last one included: %.1f (median)\n", median(total));
  std::printf("# parameters shown at their last value, run by run:%s\n", shownPerRun.c_str());
  printRow("automation_storm", "deliveries per parameter per s", fmt("%.1f", d), "-", -1, "<= 20", d <= 20);
  printRow("automation_storm", "CPU (% of one core)", fmt("%.2f", ce), fmt("%.2f", cb), cb > 0 ? ce / cb : -1,
           "<= +5 points", ce - cb <= 5);
  printRow("automation_storm", "last value shown (runs)", fmt("%d/%d", runsAllShown, opt.runs), "-", -1, "all",
           runsAllShown == opt.runs);
  return 0;
}
