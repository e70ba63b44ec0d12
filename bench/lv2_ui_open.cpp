// Opening the LV2 UI in a host's window: from instantiate (the host's parent
// window given) to the panel painted inside it, against building the same
// panel directly in Qt as a native child of the same foreign window. Warm,
// in one process, the two sides in turns; the host window belongs to an X
// connection of its own, as a host's does.
//   bench_lv2_ui_open [--runs N] [--quick]     (needs an X display)
#include "benchpanel.h"
#include "benchutil.h"

#include "Lv2UiHost.h"
#include "X11Window.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdio>

using namespace bench;

namespace {

constexpr int kWidth = 440, kHeight = 320;

void settle() {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Milliseconds, or a negative number on failure.
double openUi(UiTestHost& host, unsigned long parent) {
  PaintWaiter painted;
  const int64_t t0 = nowNs();
  UiTestHost::Options options;
  options.parent = parent;
  if (!host.open(options)) return -1;
  QWidget* panel = QWidget::find(WId(reinterpret_cast<uintptr_t>(host.widget)));
  if (!panel || !painted.wait(panel)) return -1;
  const double ms = msBetween(t0, nowNs());
  host.close();
  settle();
  return ms;
}

double openBare(unsigned long parent) {
  PaintWaiter painted;
  const int64_t t0 = nowNs();
  QWindow* foreign = QWindow::fromWinId(WId(parent));
  auto* container = new QWidget;
  container->setAttribute(Qt::WA_NativeWindow);
  container->setFixedSize(kWidth, kHeight);
  buildBarePanel(container);
  container->winId();
  container->windowHandle()->setParent(foreign);
  container->windowHandle()->setPosition(0, 0);
  container->show();
  const bool ok = painted.wait(container);
  const double ms = msBetween(t0, nowNs());
  delete container;
  delete foreign;
  settle();
  return ok ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parseOptions(argc, argv, &opt)) return 2;
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  if (QGuiApplication::platformName() != "xcb") {
    std::fprintf(stderr, "the LV2 UI needs X: run with QT_QPA_PLATFORM=xcb and a display\n");
    return 1;
  }
  x11test::HostWindow hostWindow(kWidth, kHeight);
  UiTestHost host;
  if (!hostWindow.ok() || !host.load()) {
    std::fprintf(stderr, "no host window or no UI module: %s\n", host.error().c_str());
    return 1;
  }
  const int opens = opt.quick ? 1 : std::max(20, opt.runs * 5);
  std::vector<double> ui, bare;
  // One unmeasured pair first: fonts, images and the module's first use.
  for (int i = -1; i < opens; ++i) {
    const double u = openUi(host, hostWindow.id());
    const double b = openBare(hostWindow.id());
    if (u < 0 || b < 0) {
      std::fprintf(stderr, "an open failed\n");
      return 1;
    }
    if (i < 0) continue;
    ui.push_back(u);
    bare.push_back(b);
  }
  const double u = median(ui), b = median(bare);
  std::printf(
      "# lv2_ui_open: medians of %d warm opens each in a foreign X window; the UI's fastest %.2f ms, slowest %.2f ms\n",
      opens, *std::min_element(ui.begin(), ui.end()), *std::max_element(ui.begin(), ui.end()));
  printRow("lv2_ui_open", "UI open in the host's window (ms)", fmt("%.2f", u), fmt("%.2f", b), u / b, "<= 1.25",
           u <= 1.25 * b);
  return 0;
}
