// The contract's parameter table and the shared UTF-8 codec: what every side
// builds on must hold together.
#include "GlimmContract.h"
#include "Utf8.h"

#include <QtTest>

#include <cctype>
#include <random>
#include <set>
#include <string>

class TestContract : public QObject {
  Q_OBJECT
 private slots:
  void tableIsConsistent() {
    std::set<std::string> symbols;
    for (int i = 0; i < kGlimmParamCount; ++i) {
      const GlimmParameterFacts& p = kGlimmParameters[i];
      QCOMPARE(p.index, i);
      const std::string sym = p.symbol;
      // A port symbol: a C identifier, ASCII only.
      QVERIFY2(!sym.empty() && (std::isalpha(uchar(sym[0])) || sym[0] == '_'), p.symbol);
      for (char c : sym) QVERIFY2(std::isalnum(uchar(c)) || c == '_', p.symbol);
      QVERIFY2(symbols.insert(sym).second, p.symbol);
      QVERIFY(p.name && *p.name);
      QVERIFY(p.minimum < p.maximum);
      QVERIFY(p.minimum <= p.defaultValue && p.defaultValue <= p.maximum);
      if (p.integer)
        QVERIFY(p.minimum == int(p.minimum) && p.maximum == int(p.maximum) && p.defaultValue == int(p.defaultValue));
      if (p.toggle) {
        QCOMPARE(p.minimum, 0.f);
        QCOMPARE(p.maximum, 1.f);
        QCOMPARE(p.unit, kGlimmUnit_Boolean);
      }
      QCOMPARE(glimmParameterBySymbol(p.symbol), &p);
    }
    QVERIFY(!glimmParameterBySymbol("volume"));
    QVERIFY(!glimmParameterBySymbol(""));
    QVERIFY(!glimmParameterBySymbol(nullptr));
    // The command line has always called the switch "sing".
    QCOMPARE(glimmParameterBySymbol("sing")->index, int(kGlimmParam_SingMode));
  }

  void decodeRefusesWhatIsNotStrict_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("overlong 2") << QByteArray("\xC0\x80", 2);
    QTest::newRow("overlong 2b") << QByteArray("\xC1\xBF", 2);
    QTest::newRow("overlong 3") << QByteArray("\xE0\x80\x80", 3);
    QTest::newRow("overlong 4") << QByteArray("\xF0\x8F\xBF\xBF", 4);
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80", 3);
    QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80", 4);
    QTest::newRow("lead F8") << QByteArray("\xF8\x88\x80\x80\x80", 5);
    QTest::newRow("lone continuation") << QByteArray("\x80", 1);
    QTest::newRow("cut short") << QByteArray("\xE2\x82", 2);
    QTest::newRow("bad continuation") << QByteArray("\xE2\x28\xA1", 3);
  }
  void decodeRefusesWhatIsNotStrict() {
    QFETCH(QByteArray, bytes);
    char32_t c = 0x1234;
    QCOMPARE(glimm::utf8::decode(reinterpret_cast<const unsigned char*>(bytes.constData()), size_t(bytes.size()), c),
             size_t(0));
    QCOMPARE(c, char32_t(0x1234));
    QVERIFY(!glimm::utf8::valid(bytes.constData(), size_t(bytes.size())));
  }

  void encodeAndDecodeRoundTrip() {
    for (char32_t c : {0x0u, 0x41u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFDu, 0xFFFFu, 0x10000u,
                       0x1F600u, 0x10FFFFu}) {
      std::string s;
      glimm::utf8::append(s, c);
      QCOMPARE(QByteArray::fromStdString(s), QString::fromUcs4(&c, 1).toUtf8());
      char32_t back = 0;
      QCOMPARE(glimm::utf8::decode(reinterpret_cast<const unsigned char*>(s.data()), s.size(), back), s.size());
      QCOMPARE(back, c);
    }
  }

  // Random bytes: valid exactly when Qt's own decoder takes them unchanged.
  void validAgreesWithQt() {
    std::mt19937 rng(7);
    const unsigned char pool[] = {0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xE2, 0xED,
                                  0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0, 0x8F, 0x90};
    int valid = 0;
    for (int round = 0; round < 20000; ++round) {
      QByteArray b;
      const int n = 1 + int(rng() % 6);
      for (int i = 0; i < n; ++i) b.append(char(pool[rng() % sizeof pool]));
      if (b.startsWith("\xEF\xBB\xBF")) continue;  // a BOM is Qt's to drop
      const bool ours = glimm::utf8::valid(b.constData(), size_t(b.size()));
      const bool qts = QString::fromUtf8(b).toUtf8() == b;
      QVERIFY2(ours == qts, b.toHex().constData());
      valid += ours;
    }
    QVERIFY(valid > 100);  // the pool makes valid text too
  }
};

QTEST_GUILESS_MAIN(TestContract)
#include "tst_contract.moc"
