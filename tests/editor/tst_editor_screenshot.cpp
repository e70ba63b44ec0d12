// The panel as drawn on a real X server, with the compiled-in artwork.
#include "editortest.h"

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QSet>

namespace {

bool near(QRgb a, QRgb b, int tolerance = 6) {
  return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance &&
         qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

QByteArray hex(QRgb c) { return QColor(c).name().toLatin1(); }

int countIn(const QImage& img, const QRect& r, const std::function<bool(QRgb)>& match) {
  int n = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) n += match(img.pixel(x, y)) ? 1 : 0;
  return n;
}

}  // namespace

class TestEditorScreenshot : public QObject {
  Q_OBJECT

 private slots:
  void panelLooksRight() {
    OpenEditor e;
    QVERIFY(QTest::qWaitForWindowExposed(e.host.get()));
    QCoreApplication::processEvents();
    QImage shot = e.host->screen()->grabWindow(e.host->winId()).toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), QSize(440, 320));
    const QByteArray out = qgetenv("GLIMM_SCREENSHOT");
    if (!out.isEmpty()) QVERIFY(shot.save(QString::fromLocal8Bit(out)));

    const QRgb panel = qRgb(0xB8, 0xB8, 0xD1);
    for (QPoint p : {QPoint(315, 155), QPoint(3, 310), QPoint(436, 305), QPoint(436, 200)})
      QVERIFY2(near(shot.pixel(p), panel), hex(shot.pixel(p)));

    // Text area: 8-pixel light border around the blue field.
    const QRgb border = qRgb(0x85, 0x85, 0xDF);
    const QRgb field = qRgb(0x42, 0x42, 0xE7);
    for (QPoint p : {QPoint(0, 90), QPoint(7, 90), QPoint(432, 90), QPoint(439, 90), QPoint(200, 30), QPoint(200, 37),
                     QPoint(200, 142), QPoint(200, 149)})
      QVERIFY2(near(shot.pixel(p), border),
               hex(shot.pixel(p)) + " at " + QByteArray::number(p.x()) + "," + QByteArray::number(p.y()));
    for (QPoint p : {QPoint(8, 140), QPoint(300, 100), QPoint(431, 141)})
      QVERIFY2(near(shot.pixel(p), field), hex(shot.pixel(p)));
    // "Execute" in near-white at the top left of the field.
    const int white = countIn(shot, QRect(8, 38, 140, 24), [](QRgb c) { return near(c, qRgb(0xF0, 0xF0, 0xF0), 20); });
    QVERIFY2(white > 40, QByteArray::number(white));

    // Top bar: a strip tiled across the width, with stripes down it.
    QSet<QRgb> rows;
    for (int y = 0; y < 30; ++y) {
      rows.insert(shot.pixel(0, y));
      for (int x = 3; x < 440; ++x)
        QVERIFY2(shot.pixel(x, y) == shot.pixel(x % 3, y), QByteArray::number(x) + "," + QByteArray::number(y));
    }
    QVERIFY(rows.size() >= 2);
    QVERIFY(!rows.contains(panel));

    // Logo: yellow, red, orange and blue stripes.
    const QRect logo(320, 164, 120, 32);
    const auto hue = [](int from, int to) {
      return [from, to](QRgb c) {
        const QColor k(c);
        return k.hsvSaturation() > 120 && k.value() > 120 && k.hsvHue() >= from && k.hsvHue() <= to;
      };
    };
    QVERIFY(countIn(shot, logo, hue(42, 70)) > 10);  // yellow
    QVERIFY(countIn(shot, logo, [](QRgb c) {
              QColor k(c);
              return k.hsvSaturation() > 120 && k.value() > 120 && (k.hsvHue() <= 10 || k.hsvHue() >= 350);
            }) > 10);                                  // red
    QVERIFY(countIn(shot, logo, hue(20, 40)) > 10);    // orange
    QVERIFY(countIn(shot, logo, hue(200, 250)) > 10);  // blue

    // Pitch slider at 0: handle at the left, then a white-bordered black groove.
    const int x = 100 + 80;
    bool sawWhiteAbove = false, sawBlack = false, sawWhiteBelow = false;
    for (int y = 185; y < 201; ++y) {
      const QRgb c = shot.pixel(x, y);
      if (near(c, qRgb(255, 255, 255)))
        (sawBlack ? sawWhiteBelow : sawWhiteAbove) = true;
      else if (near(c, qRgb(0, 0, 0)) && sawWhiteAbove)
        sawBlack = true;
    }
    QVERIFY(sawWhiteAbove && sawBlack && sawWhiteBelow);
  }
};

QTEST_MAIN(TestEditorScreenshot)
#include "tst_editor_screenshot.moc"
