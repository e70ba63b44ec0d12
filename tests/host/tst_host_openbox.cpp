// glimm-host started again and again under a real window manager (openbox):
// every time, the panel is drawn exactly where the window's widgets are, a
// click on the SPEAK! that is drawn speaks, and the window keeps its size.
#include "panelpixels.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

#include <signal.h>

namespace {

QString run(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForFinished(10000)) {
    p.kill();
    p.waitForFinished();
    return {};
  }
  return QString::fromLocal8Bit(p.readAllStandardOutput());
}

struct Child {
  QString id;
  QRect geometry;  // position relative to the parent
  QPoint absolute;
};

// The direct children of an X window, as xwininfo lists them.
QList<Child> childrenOf(const QString& window) {
  static const QRegularExpression line(
      R"(^\s+(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s+\+(-?\d+)\+(-?\d+)\s*$)");
  QList<Child> out;
  for (const QString& l : run("xwininfo", {"-id", window, "-children"}).split('\n')) {
    const auto m = line.match(l);
    if (!m.hasMatch()) continue;
    out.push_back({m.captured(1),
                   QRect(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(2).toInt(), m.captured(3).toInt()),
                   QPoint(m.captured(6).toInt(), m.captured(7).toInt())});
  }
  return out;
}

}  // namespace

class TestHostUnderAWindowManager : public QObject {
  Q_OBJECT

  QProcess m_wm;
  QTemporaryDir m_config;

  QProcessEnvironment hostEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", m_config.path());
    return env;
  }

  // Empty when the panel is drawn where the host's widgets are: the native
  // container at the top left of the window's central widget, and the
  // screen showing the panel there. Otherwise what is wrong.
  QString panelWhereItsWidgetsAre(const QString& window, QPoint* panelOnScreen) {
    Child central{};
    for (const Child& c : childrenOf(window))
      if (c.geometry.size() == QSize(440, 320)) central = c;
    if (central.id.isEmpty()) return "the window has no 440x320 central widget";
    const QList<Child> inside = childrenOf(central.id);
    if (inside.size() != 1)
      return QStringLiteral("the central widget holds %1 windows, not the panel").arg(inside.size());
    if (inside[0].geometry != QRect(0, 0, 440, 320))
      return QStringLiteral("the panel's window is at %1,%2 %3x%4 in the central widget")
          .arg(inside[0].geometry.x())
          .arg(inside[0].geometry.y())
          .arg(inside[0].geometry.width())
          .arg(inside[0].geometry.height());
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, central.absolute.x(), central.absolute.y(), 440, 320)
                            .toImage()
                            .convertToFormat(QImage::Format_RGB32);
    *panelOnScreen = central.absolute;
    const QString wrong = panelpixels::check(shot);
    return wrong.isEmpty() ? QString() : "the screen shows no panel where its widgets are: " + wrong;
  }

 private slots:
  void initTestCase() {
    QVERIFY2(!QStandardPaths::findExecutable("openbox").isEmpty(), "openbox is missing (Debian package openbox)");
    QVERIFY2(!QStandardPaths::findExecutable("xwininfo").isEmpty(), "xwininfo is missing (Debian package x11-utils)");
    QVERIFY2(!QStandardPaths::findExecutable("xdotool").isEmpty(), "xdotool is missing (Debian package xdotool)");
    QVERIFY(m_config.isValid());
    m_wm.start("openbox", {});
    QVERIFY(m_wm.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"), 10000);
  }

  void cleanupTestCase() {
    m_wm.terminate();
    m_wm.waitForFinished();
  }

  void panelIsDrawnWhereItsWidgetsAreEveryTime() {
    constexpr int kStarts = 30;
    for (int start = 1; start <= kStarts; ++start) {
      QProcess host;
      host.setProcessEnvironment(hostEnvironment());
      host.start(
          qEnvironmentVariable("GLIMM_HOST"),
          {"--fresh", "--text", QStringLiteral("Start %1 of %2. One, two, three, four.").arg(start).arg(kStarts)});
      QVERIFY(host.waitForStarted());
      auto stop = qScopeGuard([&] {
        host.kill();
        host.waitForFinished();
      });
      QString window;
      QTRY_VERIFY_WITH_TIMEOUT(!(window = run("xdotool", {"search", "--onlyvisible", "--pid",
                                                          QString::number(host.processId()), "--name", "^Glimm"})
                                              .trimmed())
                                    .isEmpty(),
                               15000);
      window = window.section('\n', 0, 0);

      if (start == 1) {
        // Fixed in size: the window manager offers neither resizing nor maximising.
        const QString hints = run("xprop", {"-id", window, "WM_NORMAL_HINTS", "_NET_WM_ALLOWED_ACTIONS"});
        const auto size = QRegularExpression("minimum size: (\\d+) by (\\d+)").match(hints);
        QVERIFY2(size.hasMatch() && hints.contains("maximum size: " + size.captured(1) + " by " + size.captured(2)),
                 qPrintable(hints));
        QVERIFY2(!hints.contains("MAXIMIZE") && !hints.contains("_NET_WM_ACTION_RESIZE"), qPrintable(hints));
      }

      // A wrong panel stays wrong: give a right one time to be painted.
      QString wrong;
      QPoint panel;
      (void)QTest::qWaitFor([&] { return (wrong = panelWhereItsWidgetsAre(window, &panel)).isEmpty(); }, 3000);
      if (!wrong.isEmpty()) QFAIL(qPrintable(QStringLiteral("start %1: %2").arg(start).arg(wrong)));

      // SPEAK! as drawn on the screen (panel 320,260 87x34).
      run("xdotool", {"mousemove", QString::number(panel.x() + 363), QString::number(panel.y() + 277), "click", "1"});
      QTRY_VERIFY2_WITH_TIMEOUT(run("xdotool", {"getwindowname", window}).contains("speaking"),
                                qPrintable(QStringLiteral("start %1: the click on SPEAK! did not speak").arg(start)),
                                3000);
      stop.dismiss();
      QCOMPARE(::kill(pid_t(host.processId()), SIGTERM), 0);
      QVERIFY(host.waitForFinished(10000));
      QCOMPARE(host.exitCode(), 143);
    }
  }
};

QTEST_MAIN(TestHostUnderAWindowManager)
#include "tst_host_openbox.moc"
