// Without an X server the UI must refuse to open, and leave the process as
// it was: no application object, no abort.
#include "Lv2UiHost.h"

#include <QCoreApplication>
#include <QTest>

#include <cstdlib>

class TestLv2UiNoDisplay : public QObject {
  Q_OBJECT

 private slots:
  void instantiateFailsCleanly() {
    unsetenv("DISPLAY");
    UiTestHost host;
    QVERIFY2(host.load(), host.error().c_str());
    UiTestHost::Options o;
    o.parent = 0x200001;  // any id: there is no server to ask
    QVERIFY(!host.open(o));
    QVERIFY(!QCoreApplication::instance());
    QVERIFY(host.writes.isEmpty());
    QVERIFY(host.resizes.isEmpty());
    // A second try fails the same way.
    QVERIFY(!host.open(o));
  }
};

int main(int argc, char** argv) {
  TestLv2UiNoDisplay test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_lv2ui_nodisplay.moc"
