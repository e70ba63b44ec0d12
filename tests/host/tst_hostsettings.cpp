// Settings files: the document format, its refusals, and a round trip
// through the real speech unit.
#include "hostsettings.h"
#include "unithost.h"

#include "GlimmContract.h"

#include <QtTest>

class TestHostSettings : public QObject {
  Q_OBJECT
 private slots:
  void readsADocument() {
    QString error;
    const auto s = parseHostSettings(R"({"glimm-host settings": 1, "text": "h\u00e9llo",
                                         "parameters": {"pitch": 40, "sing": true, "speed": 20}, "voice": "en"})",
                                     {}, &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(*s->text, QString::fromUtf8("h\xc3\xa9llo"));
    QCOMPARE(*s->voice, QString("en"));
    QCOMPARE(s->parameters.size(), size_t(3));
    std::map<unsigned, float> values(s->parameters.begin(), s->parameters.end());
    QCOMPARE(values[kGlimmParam_Pitch], 40.f);
    QCOMPARE(values[kGlimmParam_SingMode], 1.f);
    QCOMPARE(values[kGlimmParam_Speed], 20.f);
    // What is left out stays as it is.
    const auto bare = parseHostSettings(R"({"glimm-host settings": 1})", {}, &error);
    QVERIFY(bare && !bare->text && !bare->voice && bare->parameters.empty());
  }

  void refusesWhatIsWrongAndSaysWhat_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("window");
    QTest::addColumn<QString>("says");
    QTest::newRow("not JSON") << QByteArray("pitch = 3") << false << "not JSON";
    QTest::newRow("a list") << QByteArray("[1]") << false << "not an object";
    QTest::newRow("no marker") << QByteArray(R"({"text": "hi"})") << false << "\"glimm-host settings\" is missing";
    QTest::newRow("future format") << QByteArray(R"({"glimm-host settings": 2})") << false << "format 2";
    QTest::newRow("text a number") << QByteArray(R"({"glimm-host settings": 1, "text": 5})") << false
                                   << "\"text\" must be a string, not a number";
    QTest::newRow("text with NUL") << QByteArray(R"({"glimm-host settings": 1, "text": "a\u0000b"})") << false << "NUL";
    QTest::newRow("text over the unit's limit")
        << (R"({"glimm-host settings": 1, "text": ")" + QByteArray(512, 'a') + R"("})") << false << "512 bytes";
    QTest::newRow("text over the field's limit")
        << (R"({"glimm-host settings": 1, "text": ")" + QByteArray(257, 'a') + R"("})") << true << "257 characters";
    QTest::newRow("parameters a list") << QByteArray(R"({"glimm-host settings": 1, "parameters": [1]})") << false
                                       << "\"parameters\" must be an object";
    QTest::newRow("unknown parameter") << QByteArray(R"({"glimm-host settings": 1, "parameters": {"volume": 3}})")
                                       << false << "unknown parameter \"volume\"";
    QTest::newRow("value a string") << QByteArray(R"({"glimm-host settings": 1, "parameters": {"pitch": "3"}})")
                                    << false << "\"pitch\" must be a number, not a string";
    QTest::newRow("out of range") << QByteArray(R"({"glimm-host settings": 1, "parameters": {"speed": 19}})") << false
                                  << "\"speed\" is 19, outside 20..200";
    QTest::newRow("switch halfway") << QByteArray(R"({"glimm-host settings": 1, "parameters": {"sing": 0.5}})") << false
                                    << "\"sing\" is a switch";
    QTest::newRow("voice a number") << QByteArray(R"({"glimm-host settings": 1, "voice": 1})") << false
                                    << "\"voice\" must be a string";
    QTest::newRow("unknown key") << QByteArray(R"({"glimm-host settings": 1, "txt": "hi"})") << false
                                 << "unknown key \"txt\"";
  }
  void refusesWhatIsWrongAndSaysWhat() {
    QFETCH(QByteArray, json);
    QFETCH(bool, window);
    QFETCH(QString, says);
    QString error;
    QVERIFY(!parseHostSettings(json, HostTextLimit{window}, &error));
    QVERIFY2(error.contains(says), qPrintable(error));
  }

  void namesTheFile() {
    QTemporaryDir dir;
    QString error;
    const QString missing = dir.filePath("none.json");
    QVERIFY(!readHostSettings(missing, {}, &error));
    QVERIFY2(error.contains(missing) && error.contains("No such file"), qPrintable(error));
    const QString big = dir.filePath("big.json");
    QFile f(big);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(70000, ' '));
    f.close();
    QVERIFY(!readHostSettings(big, {}, &error));
    QVERIFY2(error.contains(big) && error.contains("70000"), qPrintable(error));
  }

  // Every parameter of the table, whatever it holds, goes to the file and
  // comes back into a unit unchanged, with the text.
  void roundTripThroughTheUnit() {
    UnitHost unit;
    std::string loadError;
    QVERIFY2(unit.load(qEnvironmentVariable("GLIMM_UNIT_MODULE").toStdString(), 48000, 1024, &loadError),
             loadError.c_str());
    for (const GlimmParameterFacts& p : kGlimmParameters) QCOMPARE(unit.setParameter(p.index, p.maximum), noErr);
    const QString text = QString::fromUtf8("Gr\xc3\xbc\xc3\x9f dich, \xe2\x82\xac 5 \"quoted\"\nnext line");
    QCOMPARE(unit.setText(text.toStdString()), noErr);

    QString error;
    const auto captured = captureHostSettings(unit.unit(), &error);
    QVERIFY2(captured, qPrintable(error));
    QCOMPARE(captured->parameters.size(), std::size(kGlimmParameters));
    QTemporaryDir dir;
    const QString path = dir.filePath("all.json");
    QVERIFY2(writeHostSettings(path, *captured, &error), qPrintable(error));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray written = f.readAll();
    for (const GlimmParameterFacts& p : kGlimmParameters)
      QVERIFY2(written.contains('"' + QByteArray(p.symbol) + '"'), p.symbol);

    for (const GlimmParameterFacts& p : kGlimmParameters) QCOMPARE(unit.setParameter(p.index, p.defaultValue), noErr);
    QCOMPARE(unit.setText("other"), noErr);
    const auto read = readHostSettings(path, {}, &error);
    QVERIFY2(read, qPrintable(error));
    QVERIFY2(applyHostSettings(unit.unit(), *read, &error), qPrintable(error));
    for (const GlimmParameterFacts& p : kGlimmParameters) {
      float value = -1;
      QCOMPARE(unit.getParameter(p.index, &value), noErr);
      QCOMPARE(value, p.maximum);
    }
    std::string back;
    QCOMPARE(unit.text(&back), noErr);
    QCOMPARE(QString::fromStdString(back), text);
  }

  void lastRunIsKeptInTheConfigFolder() {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    QCOMPARE(lastRunSettingsPath(), dir.path() + "/glimm-host/last-run.json");
  }
};

QTEST_GUILESS_MAIN(TestHostSettings)
#include "tst_hostsettings.moc"
