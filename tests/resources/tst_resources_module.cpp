#include <QFile>
#include <QImage>
#include <QLibrary>
#include <QtTest>

// This program does not carry the collection itself; only the module does.
class TestResourcesModule : public QObject
{
    Q_OBJECT

private slots:
    void registeredWhileModuleIsLoaded();
};

void TestResourcesModule::registeredWhileModuleIsLoaded()
{
    const QString bar = QStringLiteral(":Resources/img/c64bg.png");
    const QString css = QStringLiteral(":/Resources/qss/default.css");
    QVERIFY(!QFile::exists(bar));

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
        QVERIFY2(!QFile::exists(bar), "collection still registered after unload");
        QVERIFY(!QFile::exists(css));
    }
}

QTEST_GUILESS_MAIN(TestResourcesModule)
#include "tst_resources_module.moc"
