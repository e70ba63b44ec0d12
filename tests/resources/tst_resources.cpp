#include <QApplication>
#include <QColor>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRawFont>
#include <QSlider>
#include <QtEndian>
#include <QtTest>

namespace {

const char* const kFiles[] = {
    "img/c64bg.png",
    "img/logo2.png",
    "fonts/amiga4ever pro.ttf",
    "qss/default.css",
};

const char* const kFontPath = ":Resources/fonts/amiga4ever pro.ttf";
const char* const kFamily = "Amiga Forever Pro";

QByteArray readAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

QList<char32_t> fontCodePoints() {
  QList<char32_t> cps;
  for (char32_t c = 0x20; c <= 0x7E; ++c) cps << c;
  for (char32_t c = 0xA0; c <= 0xFF; ++c) cps << c;
  cps << 0x20AC << 0x2018 << 0x2019 << 0x201C << 0x201D << 0x2022 << 0x2026 << 0x2013 << 0x2014 << 0x2122 << 0x0152
      << 0x0153 << 0x0178;
  return cps;
}

// Returns the bytes of one table of a TrueType file, or empty if absent.
QByteArray sfntTable(const QByteArray& font, const char tag[4]) {
  if (font.size() < 12) return {};
  const auto* d = reinterpret_cast<const uchar*>(font.constData());
  const int numTables = qFromBigEndian<quint16>(d + 4);
  for (int i = 0; i < numTables; ++i) {
    const qsizetype rec = 12 + 16 * i;
    if (rec + 16 > font.size()) return {};
    if (memcmp(d + rec, tag, 4) != 0) continue;
    const quint32 off = qFromBigEndian<quint32>(d + rec + 8);
    const quint32 len = qFromBigEndian<quint32>(d + rec + 12);
    if (quint64(off) + len > quint64(font.size())) return {};
    return font.mid(off, len);
  }
  return {};
}

// English (Windows, Unicode) string of a name table record.
QString sfntName(const QByteArray& name, int nameId) {
  const auto* d = reinterpret_cast<const uchar*>(name.constData());
  if (name.size() < 6) return {};
  const int count = qFromBigEndian<quint16>(d + 2);
  const int strings = qFromBigEndian<quint16>(d + 4);
  for (int i = 0; i < count; ++i) {
    const int r = 6 + 12 * i;
    if (r + 12 > name.size()) break;
    if (qFromBigEndian<quint16>(d + r) != 3 || qFromBigEndian<quint16>(d + r + 6) != nameId) continue;
    const int len = qFromBigEndian<quint16>(d + r + 8);
    const int off = strings + qFromBigEndian<quint16>(d + r + 10);
    if (off + len > name.size()) break;
    QString s;
    for (int k = 0; k + 1 < len; k += 2) s += QChar(qFromBigEndian<quint16>(d + off + k));
    return s;
  }
  return {};
}

// IHDR bit depth and colour type of a PNG file.
QPair<int, int> pngDepthAndColourType(const QByteArray& png) {
  if (png.size() < 33 || !png.startsWith("\x89PNG\r\n\x1a\n") || png.mid(12, 4) != "IHDR") return {-1, -1};
  return {uchar(png[24]), uchar(png[25])};
}

}  // namespace

class TestResources : public QObject {
  Q_OBJECT

 private slots:
  void filesResolveWithAndWithoutSlash_data();
  void filesResolveWithAndWithoutSlash();
  void unknownPathIsMissing();
  void topBarStrip();
  void logo();
  void styleSheetFile();
  void styleSheetDrawsSlider();
  void fontRegistersOneFamily();
  void fontFileTables();
  void fontCoversItsCharacters();
  void fontSample();
};

void TestResources::filesResolveWithAndWithoutSlash_data() {
  QTest::addColumn<QString>("file");
  for (const char* f : kFiles) QTest::newRow(f) << QString::fromLatin1(f);
}

void TestResources::filesResolveWithAndWithoutSlash() {
  QFETCH(QString, file);
  const QByteArray committed = readAll(QStringLiteral(GLIMM_RESOURCES_SOURCE_DIR "/") + file);
  QVERIFY2(!committed.isEmpty(), qPrintable(file));
  for (const QString& prefix : {QStringLiteral(":/Resources/"), QStringLiteral(":Resources/")}) {
    QFile f(prefix + file);
    QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(prefix + file));
    // Compressed or not, the collection must hand back the committed bytes.
    QCOMPARE(f.readAll(), committed);
  }
}

void TestResources::unknownPathIsMissing() {
  QVERIFY(!QFile::exists(":Resources/img/nothing.png"));
  QVERIFY(QImage(":Resources/img/nothing.png").isNull());
  QFile f(":Resources/qss/other.css");
  QVERIFY(!f.open(QIODevice::ReadOnly));
}

void TestResources::topBarStrip() {
  const QString path = ":Resources/img/c64bg.png";
  QCOMPARE(pngDepthAndColourType(readAll(path)), qMakePair(8, 2));  // 8-bit RGB
  const QImage img(path);
  QCOMPARE(img.size(), QSize(3, 45));
  QVERIFY(!img.hasAlphaChannel());

  // Tiles seamlessly: every row is one colour.
  for (int y = 0; y < img.height(); ++y)
    for (int x = 1; x < img.width(); ++x) QCOMPARE(img.pixel(x, y), img.pixel(0, y));

  const int panel = QColor(0xB8, 0xB8, 0xD1).lightness();
  int pale = 0;
  QList<int> lines;
  for (int y = 0; y < img.height() - 3; ++y) {
    const int l = QColor(img.pixel(0, y)).lightness();
    if (l > panel) ++pale;
    if (l < panel * 6 / 10) lines << y;
  }
  QVERIFY2(pale >= img.height() / 2, "mostly pale rows");
  QVERIFY2(lines.size() >= 4, "a dark line every few rows");
  for (int i = 1; i < lines.size(); ++i) QVERIFY(lines[i] - lines[i - 1] >= 5 && lines[i] - lines[i - 1] <= 9);
  for (int y = img.height() - 3; y < img.height(); ++y)
    QVERIFY2(QColor(img.pixel(0, y)).lightness() < panel * 6 / 10, "dark last rows");
  // Lines are tinted towards violet, not neutral grey.
  const QColor line(img.pixel(0, lines.first()));
  QVERIFY(line.blue() > line.red() && line.blue() > line.green());
}

void TestResources::logo() {
  const QString path = ":Resources/img/logo2.png";
  QCOMPARE(pngDepthAndColourType(readAll(path)), qMakePair(8, 6));  // 8-bit RGBA
  const QImage img = QImage(path).convertToFormat(QImage::Format_ARGB32);
  QCOMPARE(img.size(), QSize(122, 32));
  QVERIFY(QImage(path).hasAlphaChannel());

  for (int x = 0; x < img.width(); ++x) {
    QCOMPARE(qAlpha(img.pixel(x, 0)), 0);
    QCOMPARE(qAlpha(img.pixel(x, img.height() - 1)), 0);
  }
  for (int y = 0; y < img.height(); ++y) {
    QCOMPARE(qAlpha(img.pixel(0, y)), 0);
    QCOMPARE(qAlpha(img.pixel(img.width() - 1, y)), 0);
  }

  // Near the right end, a column crosses the stripes: opaque bands in the
  // four colours from top to bottom, with transparent gaps between them.
  const int x = 100;
  QList<QColor> bands;
  bool inBand = false;
  int gaps = 0;
  for (int y = 0; y < img.height(); ++y) {
    const QRgb p = img.pixel(x, y);
    if (qAlpha(p) == 255 && !inBand) {
      bands << QColor(p);
      if (!bands.isEmpty() && bands.size() > 1) ++gaps;
    }
    QVERIFY2(qAlpha(p) == 0 || qAlpha(p) == 255, "no half-transparent edges");
    inBand = qAlpha(p) == 255;
  }
  QCOMPARE(bands.size(), 4);
  QCOMPARE(gaps, 3);
  auto hue = [](const QColor& c) { return c.hsvHue(); };
  QVERIFY2(hue(bands[0]) >= 45 && hue(bands[0]) <= 65, "yellow");
  QVERIFY2(hue(bands[1]) <= 10 || hue(bands[1]) >= 350, "red");
  QVERIFY2(hue(bands[2]) >= 20 && hue(bands[2]) <= 40, "orange");
  QVERIFY2(hue(bands[3]) >= 210 && hue(bands[3]) <= 250, "blue");

  // The lettering at the left end must stand out on the panel colour.
  const int panel = QColor(0xB8, 0xB8, 0xD1).lightness();
  int inkLeft = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int xx = 0; xx < 40; ++xx) {
      const QRgb p = img.pixel(xx, y);
      if (qAlpha(p) == 255 && qAbs(QColor(p).lightness() - panel) > 90) ++inkLeft;
    }
  QVERIFY2(inkLeft > 60, "lettering at the left end");
}

void TestResources::styleSheetFile() {
  const QByteArray css = readAll(":Resources/qss/default.css");
  QVERIFY(!css.isEmpty());
  QVERIFY(!css.contains('\0'));
  for (qsizetype i = 0; i < css.size(); ++i) {
    QVERIFY(uchar(css[i]) < 0x80);
    if (css[i] == '\n') QVERIFY2(i > 0 && css[i - 1] == '\r', "CR LF line ends");
  }
  QVERIFY(css.endsWith("\r\n"));
}

void TestResources::styleSheetDrawsSlider() {
  const QString css = QString::fromLatin1(readAll(":Resources/qss/default.css"));
  QVERIFY(!css.isEmpty());

  QWidget panel;
  panel.resize(200, 60);
  panel.setStyleSheet("background-color:#B8B8D1;");
  auto* slider = new QSlider(Qt::Horizontal, &panel);
  slider->setRange(0, 255);
  slider->setStyleSheet(css);
  slider->setGeometry(40, 20, 120, 16);
  panel.show();
  QVERIFY(QTest::qWaitForWindowExposed(&panel));

  const QImage img = slider->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const qreal dpr = img.devicePixelRatio();
  const int w = slider->width(), h = slider->height();
  // One letter per logical pixel: W white, B black, . anything else.
  auto letter = [&](int x, int y) {
    const QRgb p = img.pixel(qRound(x * dpr), qRound(y * dpr));
    return p == qRgb(255, 255, 255) ? 'W' : p == qRgb(0, 0, 0) ? 'B' : '.';
  };
  auto row = [&](int y) {
    QString s;
    for (int x = 0; x < w; ++x) s += letter(x, y);
    return s;
  };
  auto column = [&](int x) {
    QString s;
    for (int y = 0; y < h; ++y) s += letter(x, y);
    return s;
  };
  const QString frame(w, 'W');
  QCOMPARE(row(0), frame);
  QCOMPARE(row(1), frame);
  QCOMPARE(row(h - 2), frame);
  QCOMPARE(row(h - 1), frame);
  // Across the middle: 2 px border, 2 px margin, the 10 px handle at
  // value 0, then black groove up to the right border.
  QCOMPARE(row(h / 2), "WWBB" + QString(10, 'W') + QString(w - 16, 'B') + "WW");
  // Down through the handle: border, margin, handle, margin, border.
  QCOMPARE(column(8), "WWBB" + QString(h - 8, 'W') + "BBWW");
  QCOMPARE(column(w / 2), "WW" + QString(h - 4, 'B') + "WW");

  // At the far end the handle moves to the right, mirrored.
  slider->setValue(slider->maximum());
  const QImage end = slider->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QCOMPARE(QColor(end.pixel(qRound((w - 9) * dpr), qRound(h / 2 * dpr))), QColor(Qt::white));
  QCOMPARE(QColor(end.pixel(qRound((w - 4) * dpr), qRound(h / 2 * dpr))), QColor(Qt::black));
  QCOMPARE(QColor(end.pixel(qRound(8 * dpr), qRound(h / 2 * dpr))), QColor(Qt::black));
}

void TestResources::fontRegistersOneFamily() {
  const int id = QFontDatabase::addApplicationFont(kFontPath);
  QVERIFY(id >= 0);
  QCOMPARE(QFontDatabase::applicationFontFamilies(id), QStringList{kFamily});
  QVERIFY(QFontDatabase::families().contains(kFamily));
  QVERIFY(QFontDatabase::styles(kFamily).contains("Regular"));
  QCOMPARE(QFontDatabase::weight(kFamily, "Regular"), 400);
  QVERIFY(!QFontDatabase::italic(kFamily, "Regular"));

  // Requested by name as the panel does, the family is found, not a fallback.
  QFont font(kFamily, 12);
  QCOMPARE(QFontInfo(font).family(), QString(kFamily));
  // Monospaced, with 8-pixel cells three quarters of an em wide: at the
  // panel's 12 pt (16 px) a cell is 12 px, which the fixed layout needs.
  font.setPixelSize(16);
  const QFontMetrics fm(font);
  QCOMPARE(fm.horizontalAdvance('i'), 12);
  QCOMPARE(fm.horizontalAdvance('M'), 12);
  QCOMPARE(fm.horizontalAdvance(QStringLiteral("throat")), 6 * 12);
  QVERIFY(fm.ascent() + fm.descent() >= 12 && fm.ascent() + fm.descent() <= 13);
  QVERIFY(QFontDatabase::removeApplicationFont(id));
}

void TestResources::fontFileTables() {
  const QByteArray ttf = readAll(kFontPath);
  QVERIFY(ttf.startsWith(QByteArray("\x00\x01\x00\x00", 4)));  // TrueType outlines
  QVERIFY(!sfntTable(ttf, "glyf").isEmpty());
  QVERIFY(sfntTable(ttf, "CFF ").isEmpty());

  const QByteArray maxp = sfntTable(ttf, "maxp");
  QVERIFY(maxp.size() >= 6);
  QCOMPARE(qFromBigEndian<quint16>(maxp.constData() + 4), quint16(205));

  const QByteArray head = sfntTable(ttf, "head");
  QVERIFY(head.size() >= 54);
  QCOMPARE(qFromBigEndian<quint16>(head.constData() + 18), quint16(1000));
  QVERIFY(qAbs(qFromBigEndian<qint32>(head.constData() + 4) / 65536.0 - 1.01) < 1e-4);

  const QByteArray os2 = sfntTable(ttf, "OS/2");
  QVERIFY(os2.size() >= 6);
  QCOMPARE(qFromBigEndian<quint16>(os2.constData() + 4), quint16(400));

  const QByteArray name = sfntTable(ttf, "name");
  QCOMPARE(sfntName(name, 1), QString(kFamily));
  QCOMPARE(sfntName(name, 2), QString("Regular"));
  QCOMPARE(sfntName(name, 5), QString("Version 1.01"));
}

void TestResources::fontCoversItsCharacters() {
  const QRawFont raw(readAll(kFontPath), 16);
  QVERIFY(raw.isValid());
  QCOMPARE(raw.familyName(), QString(kFamily));
  QCOMPARE(raw.unitsPerEm(), 1000.0);
  const QList<char32_t> cps = fontCodePoints();
  QCOMPARE(cps.size(), 204);
  for (char32_t cp : cps) QVERIFY2(raw.supportsCharacter(cp), qPrintable(QString::number(uint(cp), 16)));
  // Nothing beyond the set, and control characters have no glyph.
  for (char32_t cp :
       {char32_t(0x0A), char32_t(0x7F), char32_t(0x9F), char32_t(0x100), char32_t(0x131), char32_t(0x20AD)})
    QVERIFY2(!raw.supportsCharacter(cp), qPrintable(QString::number(uint(cp), 16)));

  // Printable characters draw something, the spaces draw nothing.
  for (char32_t cp : cps) {
    const QString s = QString::fromUcs4(&cp, 1);
    const QList<quint32> ids = raw.glyphIndexesForString(s);
    QCOMPARE(ids.size(), 1);
    const bool blank = cp == 0x20 || cp == 0xA0;
    QCOMPARE(raw.pathForGlyph(ids[0]).isEmpty(), blank);
  }
}

// Renders the whole set the way the panel shows it; set GLIMM_FONT_SAMPLE to
// a file name to keep the picture for a look.
void TestResources::fontSample() {
  const int id = QFontDatabase::addApplicationFont(kFontPath);
  QVERIFY(id >= 0);
  QFont font(kFamily);
  font.setPixelSize(16);  // the panel's 12 pt at 96 dpi
  const QList<char32_t> cps = fontCodePoints();
  const int perLine = 32;
  const int lineStep = 20;  // a little leading, so raised marks stay clear
  QImage img(perLine * 16 * 2 + 16, ((cps.size() + perLine - 1) / perLine) * lineStep * 2 + 16, QImage::Format_RGB32);
  img.fill(QColor("#4242E7"));
  {
    QPainter p(&img);
    p.setFont(font);
    p.setPen(QColor("#F0F0F0"));
    for (int i = 0; i < cps.size(); i += perLine) {
      QString line;
      for (int k = i; k < qMin<int>(i + perLine, cps.size()); ++k) line += QString::fromUcs4(&cps[k], 1);
      p.drawText(4, 4 + lineStep * (i / perLine) + QFontMetrics(font).ascent(), line);
    }
  }
  // At the panel's size a font pixel is about 1.5 screen pixels, so edges
  // blend, but much of what is drawn is the text colour itself: glyphs are
  // solid pixel blocks, not hairlines (those would be nearly all blend).
  int lit = 0, blended = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      if (p == QColor("#F0F0F0").rgb())
        ++lit;
      else if (p != QColor("#4242E7").rgb())
        ++blended;
    }
  QVERIFY2(blended < 2 * lit, qPrintable(QString("%1 blended pixels against %2 lit").arg(blended).arg(lit)));
  QVERIFY(lit > 1000);
  const QString out = qEnvironmentVariable("GLIMM_FONT_SAMPLE");
  if (!out.isEmpty()) QVERIFY(img.save(out));
  QFontDatabase::removeApplicationFont(id);
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
