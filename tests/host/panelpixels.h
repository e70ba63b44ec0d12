// Pixel checks of the editor panel as a host shows it (440 x 320, panel
// coordinates), shared by the host tests.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>

namespace panelpixels {

inline bool near(QRgb p, QColor c, int tol = 24) {
  return qAbs(qRed(p) - c.red()) <= tol && qAbs(qGreen(p) - c.green()) <= tol && qAbs(qBlue(p) - c.blue()) <= tol;
}

// Empty when the image shows the panel; otherwise what is wrong.
inline QString check(const QImage& img) {
  if (img.size() != QSize(440, 320)) return QStringLiteral("size %1x%2").arg(img.width()).arg(img.height());
  auto at = [&](int x, int y) { return img.pixel(x, y); };
  if (!near(at(5, 155), QColor("#B8B8D1"), 2)) return "panel colour";
  if (!near(at(3, 100), QColor("#8585DF"), 2) || !near(at(436, 100), QColor("#8585DF"), 2)) return "text field border";
  if (!near(at(220, 130), QColor("#4242E7"), 2)) return "text field background";
  // The top bar is striped: both light and dark rows in its first column.
  int light = 0, dark = 0;
  for (int y = 0; y < 30; ++y) (qGray(at(1, y)) > 150 ? light : dark)++;
  if (!light || !dark) return "top bar stripes";
  // The logo: yellow, red, orange and blue somewhere in its box.
  bool yellow = false, red = false, orange = false, blue = false;
  for (int y = 164; y < 196; ++y)
    for (int x = 320; x < 440; ++x) {
      const QColor c(at(x, y));
      const int h = c.hsvHue(), s = c.hsvSaturation(), v = c.value();
      if (s < 120 || v < 120) continue;
      if (h >= 45 && h <= 70)
        yellow = true;
      else if (h <= 10 || h >= 345)
        red = true;
      else if (h > 15 && h < 40)
        orange = true;
      else if (h >= 200 && h <= 250)
        blue = true;
    }
  if (!(yellow && red && orange && blue)) return "logo colours";
  // Pitch slider at (100,185) 120x16: white border, black groove inside.
  if (!near(at(160, 185), Qt::white, 10) || !near(at(200, 192), Qt::black, 10)) return "slider groove";
  return {};
}

// Horizontal extent of the near-white text on the text field's first line.
inline QRect firstLineText(const QImage& img) {
  QRect box;
  for (int y = 38; y < 60; ++y)
    for (int x = 8; x < 432; ++x)
      if (near(img.pixel(x, y), QColor("#F0F0F0"), 40)) box |= QRect(x, y, 1, 1);
  return box;
}

}  // namespace panelpixels
