// The application bootstrap, in a process that starts without one.
#include "AUGlimm3_HostLink.h"
#include "vstglimmeditor.h"

#include <QApplication>
#include <QTest>

#include <clocale>
#include <string>

class TestPluginInstance : public QObject {
  Q_OBJECT

 private slots:
  void createsTheApplicationOnceAndKeepsTheHostLocale() {
    // Meaningful only if the environment names a locale other than the
    // process's own, so that adopting it would show.
    QCOMPARE(qgetenv("LC_ALL"), QByteArray("C.UTF-8"));
    QCOMPARE(QByteArray(std::setlocale(LC_ALL, nullptr)), QByteArray("C"));
    // A host with mixed categories gets each of them back.
    QVERIFY(std::setlocale(LC_MESSAGES, "C.UTF-8"));
    const std::string before = std::setlocale(LC_ALL, nullptr);
    QVERIFY(before.find("LC_MESSAGES=C.UTF-8") != std::string::npos);

    QVERIFY(!QCoreApplication::instance());
    QVERIFY(pluginInstance());
    QCoreApplication* app = QCoreApplication::instance();
    QVERIFY(qobject_cast<QApplication*>(app));
    QVERIFY(QCoreApplication::testAttribute(Qt::AA_PluginApplication));
    QCOMPARE(QByteArray(std::setlocale(LC_ALL, nullptr)), QByteArray(before.c_str()));

    QVERIFY(!pluginInstance());
    QVERIFY(!VstGlimm3Editor::pluginInstance());
    QCOMPARE(QCoreApplication::instance(), app);
  }
};

QTEST_APPLESS_MAIN(TestPluginInstance)
#include "tst_plugininstance.moc"
