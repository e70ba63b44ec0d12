// Which texts announced by the DSP reach the field while the user types.
#include "TextEchoes.h"

#include <QTest>

class TestTextEchoes : public QObject {
  Q_OBJECT

 private slots:
  void changesFromElsewhereShow() {
    glimm::TextEchoes e;
    QVERIFY(e.shouldShow("preset"));
    QVERIFY(e.shouldShow("another"));
    e.sent("mine");
    QVERIFY(e.shouldShow("not mine"));
    QCOMPARE(e.pending(), size_t(0));
  }

  void echoesOlderThanTheLatestAreDropped() {
    glimm::TextEchoes e;
    for (const char* t : {"a", "ab", "abc"}) e.sent(t);
    QVERIFY(!e.shouldShow("a"));
    QVERIFY(!e.shouldShow("ab"));
    QVERIFY(e.shouldShow("abc"));
    QCOMPARE(e.pending(), size_t(0));
    // A refused text is never echoed; the next one still settles.
    for (const char* t : {"x", "xy", "xyz"}) e.sent(t);
    QVERIFY(!e.shouldShow("xy"));
    QVERIFY(e.shouldShow("xyz"));
  }

  void aTextSentTwiceIsEchoedTwice() {
    glimm::TextEchoes e;
    for (const char* t : {"a", "ab", "a", "ab"}) e.sent(t);
    QVERIFY(!e.shouldShow("a"));
    QVERIFY(!e.shouldShow("ab"));
    QVERIFY(!e.shouldShow("a"));
    QVERIFY(e.shouldShow("ab"));
    QVERIFY(e.shouldShow("a"));  // nothing outstanding: someone else's
  }

  void unansweredTextsAreBounded() {
    glimm::TextEchoes e;
    for (size_t i = 0; i < glimm::TextEchoes::kMaxPending + 10; ++i) e.sent(std::to_string(i));
    QCOMPARE(e.pending(), glimm::TextEchoes::kMaxPending);
    // The oldest are forgotten: their echo now reads as a change.
    QVERIFY(e.shouldShow("0"));
  }
};

QTEST_APPLESS_MAIN(TestTextEchoes)

#include "tst_textechoes.moc"
