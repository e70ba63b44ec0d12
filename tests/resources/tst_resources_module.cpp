#include <QFile>
#include <QImage>
#include <QLibrary>
#include <QtTest>

#ifdef GLIMM_WITH_SHARED_COPY
extern "C" int glimm_resources_probe_marker();
#endif

// Built twice: once without the collection, where only the module brings it,
// and once linked to a shared library that carries its own copy, as a
// program with the editor in a shared library would be.
class TestResourcesModule : public QObject {
  Q_OBJECT

 private slots:
  void registeredWhileModuleIsLoaded();
};

void TestResourcesModule::registeredWhileModuleIsLoaded() {
  const QString bar = QStringLiteral(":Resources/img/c64bg.png");
  const QString css = QStringLiteral(":/Resources/qss/default.css");
#ifdef GLIMM_WITH_SHARED_COPY
  QCOMPARE(glimm_resources_probe_marker(), 1);
  const bool before = true;
#else
  const bool before = false;
#endif
  QCOMPARE(QFile::exists(bar), before);

  for (int round = 0; round < 2; ++round) {
    QLibrary lib(QStringLiteral(GLIMM_RESOURCES_PROBE));
    QVERIFY2(lib.load(), qPrintable(lib.errorString()));
    // Registered by loading alone, before any code of the module runs.
    QVERIFY(QFile::exists(bar));
    QCOMPARE(QImage(bar).size(), QSize(3, 45));
    QFile f(css);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains("QSlider::handle:horizontal"));
    f.close();

    QVERIFY(lib.unload());
    // Unloading takes away the module's copy and nothing else.
    QCOMPARE(QFile::exists(bar), before);
    QCOMPARE(QFile::exists(css), before);
  }
}

QTEST_GUILESS_MAIN(TestResourcesModule)
#include "tst_resources_module.moc"
