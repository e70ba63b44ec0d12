// Checks the editor panel inside a screenshot of a host's window.
//   panelcheck SHOT.png X Y MAX_PITCH_HANDLE_X
// X, Y: where the panel's top left corner is on the screenshot. The pitch
// slider's handle must be left of MAX_PITCH_HANDLE_X (panel coordinates),
// which shows that a low value the host set reached the panel.
#include "panelpixels.h"

#include <QGuiApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: panelcheck SHOT.png X Y MAX_PITCH_HANDLE_X\n");
    return 2;
  }
  const QImage shot(QString::fromLocal8Bit(argv[1]));
  if (shot.isNull()) {
    std::fprintf(stderr, "panelcheck: cannot read %s\n", argv[1]);
    return 1;
  }
  const QImage panel = shot.copy(atoi(argv[2]), atoi(argv[3]), 440, 320);
  const QString wrong = panelpixels::check(panel);
  if (!wrong.isEmpty()) {
    std::fprintf(stderr, "panelcheck: not the panel: %s\n", qPrintable(wrong));
    return 1;
  }
  // The handle is the white square on the pitch slider's black groove.
  int sum = 0, n = 0;
  for (int x = 102; x < 218; ++x)
    if (panelpixels::near(panel.pixel(x, 193), Qt::white, 30)) sum += x, ++n;
  if (n == 0) {
    std::fprintf(stderr, "panelcheck: no pitch handle\n");
    return 1;
  }
  const int handle = sum / n;
  std::printf("panel found; pitch handle at x=%d\n", handle);
  if (handle >= atoi(argv[4])) {
    std::fprintf(stderr, "panelcheck: the pitch handle is at %d, not left of %s\n", handle, argv[4]);
    return 1;
  }
  return 0;
}
