// The text field, the text path to and from the unit, play requests and the
// About box.
#include "editortest.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>

using Kind = HostLinkCall::Kind;

namespace {

QByteArray utf8(const char* s) { return QByteArray(s); }

// Counts mouse releases that reach a widget.
class ReleaseCounter : public QObject {
 public:
  int releases = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::MouseButtonRelease) ++releases;
    return false;
  }
};

// Dismisses the next modal box and remembers what it said.
struct ModalCatcher {
  QString title;
  QString text;
  bool seen = false;

  void arm() {
    QTimer::singleShot(0, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen = true;
      title = box->windowTitle();
      text = box->text();
      box->button(QMessageBox::Ok)->click();
    });
  }
};

// What the field holds, character for character (toPlainText would turn
// no-break spaces into spaces).
QString fieldText(TestEditor& ed) {
  return ed.m_textEdit->document()->toRawText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
}

}  // namespace

class TestEditorText : public QObject {
  Q_OBJECT

 private slots:
  void init() { RecordingHostLink::instance().reset(); }

  // --- keys -----------------------------------------------------------------

  void returnPlays_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    QTest::newRow("Alt+Return") << int(Qt::Key_Return) << int(Qt::AltModifier);
  }
  void returnPlays() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    QTest::keyClick(e->m_textEdit, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(link.count(Kind::Play), 1);
    QCOMPARE(link.callsOf(Kind::Play)[0].context, unitContext());
    QCOMPARE(link.count(Kind::Text), 0);
    QCOMPARE(fieldText(*e), QStringLiteral("Execute"));
  }

  void shiftOrControlReturnBreaks_data() {
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Shift") << int(Qt::ShiftModifier);
    QTest::newRow("Control") << int(Qt::ControlModifier);
    QTest::newRow("Control+Shift+Alt") << int(Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    QTest::newRow("Shift+keypad") << int(Qt::ShiftModifier | Qt::KeypadModifier);
  }
  void shiftOrControlReturnBreaks() {
    QFETCH(int, modifiers);
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    e->m_textEdit->moveCursor(QTextCursor::End);
    QTest::keyClicks(e->m_textEdit, "ab");
    e->m_textEdit->moveCursor(QTextCursor::Left);
    QTest::keyClick(e->m_textEdit, Qt::Key_Return, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(link.count(Kind::Play), 0);
    QCOMPARE(e->m_textEdit->document()->blockCount(), 2);  // a paragraph, not a line separator
    QCOMPARE(link.callsOf(Kind::Text).last().text(), QByteArray("Executea\nb"));
    QCOMPARE(e->bufferText(), QByteArray("Executea\nb"));
  }

  void typingSendsEachChange() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    e->m_textEdit->selectAll();
    QTest::keyClicks(e->m_textEdit, "Hi");
    const auto sent = link.callsOf(Kind::Text);
    QVERIFY(sent.size() >= 2);
    QCOMPARE(sent.last().text(), QByteArray("Hi"));
    QCOMPARE(sent.last().context, unitContext());
    QCOMPARE(sent.last().sender, static_cast<void*>(e->m_textEdit));
    QCOMPARE(e->m_text, QStringLiteral("Hi"));
    // Only the prefix and its terminator are overwritten: the tail of the
    // longer text before stays in the buffer the unit receives.
    QCOMPARE(sent.last().buffer.left(8), QByteArray("Hi\0cute\0", 8));
    QCOMPARE(sent.last().buffer.mid(8), QByteArray(504, '\0'));
  }

  void the257thCharacterIsCut() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    const QString full(256, QLatin1Char('a'));
    e->m_textEdit->setPlainText(full);
    e->m_textEdit->moveCursor(QTextCursor::End);
    link.calls.clear();

    QTest::keyClick(e->m_textEdit, Qt::Key_B);
    QCOMPARE(fieldText(*e), full);
    QCOMPARE(e->m_text, full);
    QCOMPARE(e->m_textEdit->textCursor().position(), 256);
    QVERIFY(!e->m_textEdit->textCursor().hasSelection());
    const auto sent = link.callsOf(Kind::Text);
    QCOMPARE(sent.size(), 2);  // the nested run, then the outer one
    QCOMPARE(sent[0].text(), full.toUtf8());
    QCOMPARE(sent[1].text(), full.toUtf8());
  }

  // Multi-byte text reaches the buffer's byte limit before 256 characters:
  // the field is cut to what fits, so field and unit agree.
  void byteLimitCutsAtWholeCharacters() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    const QString euros(200, QChar(0x20AC));  // 600 bytes in UTF-8
    e->m_textEdit->setPlainText(euros);
    const QString fits(170, QChar(0x20AC));  // 510 bytes
    QCOMPARE(fieldText(*e), fits);
    QCOMPARE(e->m_text, fits);
    QCOMPARE(e->bufferText(), fits.toUtf8());
    const auto sent = link.callsOf(Kind::Text);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.last().text(), fits.toUtf8());
    QCOMPARE(sent.last().buffer.size(), 512);
  }

  void cutNeverSplitsASurrogatePair() {
    OpenEditor e;
    const QString prefix(255, QLatin1Char('a'));
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // two UTF-16 units
    e->m_textEdit->setPlainText(prefix + emoji);                  // 257 units
    QCOMPARE(fieldText(*e), prefix);
    QCOMPARE(e->bufferText(), prefix.toUtf8());

    e->m_textEdit->setPlainText(QString(254, QLatin1Char('a')) + emoji + "z");  // 257 units
    QCOMPARE(fieldText(*e), QString(254, QLatin1Char('a')) + emoji);
    QCOMPARE(e->bufferText(), (QString(254, QLatin1Char('a')) + emoji).toUtf8());
  }

  void pastedRichTextArrivesPlain() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    auto* mime = new QMimeData;
    mime->setHtml("<b>hi</b> there");
    mime->setText("hi there");
    QApplication::clipboard()->setMimeData(mime);
    e->m_textEdit->selectAll();
    e->m_textEdit->paste();
    QCOMPARE(fieldText(*e), QStringLiteral("hi there"));
    QTextCursor c(e->m_textEdit->document());
    c.setPosition(1);
    QVERIFY(c.charFormat().fontWeight() != QFont::Bold);
    QCOMPARE(link.callsOf(Kind::Text).last().text(), QByteArray("hi there"));
  }

  // --- play ------------------------------------------------------------------

  void speakPlaysOnPress() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    QPushButton* speak = e->speakButton();
    QCOMPARE(speak->text(), QStringLiteral("SPEAK!"));
    QTest::mousePress(speak, Qt::LeftButton);
    QCOMPARE(link.count(Kind::Play), 1);
    QTest::mouseRelease(speak, Qt::LeftButton);
    QCOMPARE(link.count(Kind::Play), 1);
    QCOMPARE(link.calls.size(), 1);
  }

  // --- from the unit -----------------------------------------------------------

  void equalTextFromUnitChangesNothing() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    link.setUnitText("Execute");
    e->setTextFromAU();
    QCOMPARE(link.count(Kind::GetProperty), 1);
    const HostLinkCall get = link.callsOf(Kind::GetProperty)[0];
    QCOMPARE(get.context, unitContext());
    QCOMPARE(get.propertyID, 0x20000);
    QCOMPARE(get.size, 512);
    QCOMPARE(link.count(Kind::Text), 0);
    QCOMPARE(fieldText(*e), QStringLiteral("Execute"));
  }

  void differentTextIsShownAndEchoedOnce() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    link.setUnitText("Hello");
    e->updateTextEdit();
    QCOMPARE(fieldText(*e), QStringLiteral("Hello"));
    QCOMPARE(e->m_text, QStringLiteral("Hello"));
    QCOMPARE(e->bufferText(), QByteArray("Hello"));
    QCOMPARE(link.count(Kind::Text), 1);
    QCOMPARE(link.callsOf(Kind::Text)[0].text(), QByteArray("Hello"));
    // The unit announces the echo; the editor finds its own text and rests.
    QCOMPARE(link.deliver(*e), 1);
    QCOMPARE(link.count(Kind::Text), 1);
    QCOMPARE(link.pendingAnnouncements, 0);
  }

  void longTextFromUnitIsCut() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    link.setUnitText(QByteArray(300, 'x'));
    e->updateTextEdit();
    QCOMPARE(fieldText(*e), QString(256, QLatin1Char('x')));
    const auto sent = link.callsOf(Kind::Text);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent[0].text(), QByteArray(256, 'x'));
    QCOMPARE(sent[1].text(), QByteArray(256, 'x'));
    QCOMPARE(link.unitText(), QByteArray(256, 'x'));
    link.deliver(*e);
    QCOMPARE(link.count(Kind::Text), 2);
  }

  // Valid UTF-8 is read as UTF-8 and goes back byte for byte; anything else
  // is read as Latin-1, so every byte becomes a character, and is then stored
  // as UTF-8. Either way the exchange comes to rest.
  void textFromUnitKeepsItsCharacters_data() {
    QTest::addColumn<QByteArray>("unit");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QByteArray>("settled");
    const QString gruesse = QString::fromUtf8(
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC");
    QTest::newRow("UTF-8") << utf8(
                                  "Gr\xC3\xBC\xC3\x9F"
                                  "e \xE2\x82\xAC")
                           << gruesse << gruesse.toUtf8();
    QTest::newRow("emoji") << utf8("hi \xF0\x9F\x98\x80") << QString::fromUtf8("hi \xF0\x9F\x98\x80")
                           << utf8("hi \xF0\x9F\x98\x80");
    QTest::newRow("leading BOM") << utf8("\xEF\xBB\xBFhi") << (QChar(0xFEFF) + QStringLiteral("hi"))
                                 << utf8("\xEF\xBB\xBFhi");
    QTest::newRow("no-break space, line separator") << utf8(
                                                           "a\xC2\xA0"
                                                           "b\xE2\x80\xA8"
                                                           "c")
                                                    << QString::fromUtf8(
                                                           "a\xC2\xA0"
                                                           "b\xE2\x80\xA8"
                                                           "c")
                                                    << utf8(
                                                           "a\xC2\xA0"
                                                           "b\xE2\x80\xA8"
                                                           "c");
    QTest::newRow("Latin-1") << utf8("caf\xE9") << QStringLiteral("caf\u00e9") << utf8("caf\xC3\xA9");
    QTest::newRow("C1 bytes") << utf8("\x80\x9F") << QStringLiteral("\u0080\u009f") << utf8("\xC2\x80\xC2\x9F");
    QTest::newRow("overlong") << utf8("\xC0\xAF") << QStringLiteral("\u00c0\u00af") << utf8("\xC3\x80\xC2\xAF");
    QTest::newRow("surrogate") << utf8("\xED\xA0\x80") << QStringLiteral("\u00ed\u00a0\u0080")
                               << utf8("\xC3\xAD\xC2\xA0\xC2\x80");
    QTest::newRow("past U+10FFFF") << utf8("\xF4\x90\x80\x80") << QStringLiteral("\u00f4\u0090\u0080\u0080")
                                   << utf8("\xC3\xB4\xC2\x90\xC2\x80\xC2\x80");
    QTest::newRow("cut sequence") << utf8("ab\xE2\x82") << QStringLiteral("ab\u00e2\u0082")
                                  << utf8("ab\xC3\xA2\xC2\x82");
  }
  void textFromUnitKeepsItsCharacters() {
    QFETCH(QByteArray, unit);
    QFETCH(QString, shown);
    QFETCH(QByteArray, settled);
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    link.setUnitText(unit);
    e->setTextFromAU();
    QCOMPARE(fieldText(*e).toUtf8(), shown.toUtf8());
    QCOMPARE(e->m_text, shown);
    QCOMPARE(link.unitText(), settled);
    const qsizetype sends = link.count(Kind::Text);
    QCOMPARE(sends, 1);
    link.deliver(*e);
    QCOMPARE(link.count(Kind::Text), sends);
    QCOMPARE(link.unitText(), settled);
    QCOMPARE(fieldText(*e), shown);
  }

  // Markup from the unit is text: shown as it is, and sent back unchanged.
  void markupFromUnitIsText() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    const QByteArray markup("<b>hi</b> there <img src=\"file:///etc/hostname\">");
    link.setUnitText(markup);
    e->updateTextEdit();
    QCOMPARE(fieldText(*e), QString::fromUtf8(markup));
    QCOMPARE(link.unitText(), markup);
    link.deliver(*e);
    QCOMPARE(link.count(Kind::Text), 1);
  }

  void fieldLoadsNoResources() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("pixel.png");
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(Qt::red);
    QVERIFY(image.save(path));
    const QUrl url = QUrl::fromLocalFile(path);

    // The document would read the file for a plain field.
    QTextEdit plain;
    QVERIFY(!plain.document()->resource(QTextDocument::ImageResource, url).isNull());

    GlimmTextEdit field;
    const QVariant loaded = field.loadResource(QTextDocument::ImageResource, url);
    QCOMPARE(loaded.typeId(), QMetaType::QByteArray);
    QVERIFY(loaded.toByteArray().isEmpty());
    field.setHtml("<img src=\"" + url.toString() + "\">");
    const QVariant viaDocument = field.document()->resource(QTextDocument::ImageResource, url);
    QVERIFY(viaDocument.toByteArray().isEmpty());
    QVERIFY(!viaDocument.canConvert<QImage>() || viaDocument.value<QImage>().isNull());
  }

  void unterminatedTextIsReadUpTo511Bytes() {
    auto& link = RecordingHostLink::instance();
    {
      // 170 euro signs (510 bytes), then a sequence cut by the 512-byte end.
      OpenEditor e;
      QByteArray bytes = QString(170, QChar(0x20AC)).toUtf8() + "\xE2\x82";
      QCOMPARE(bytes.size(), 512);
      link.setUnitBytes(bytes);
      e->updateTextEdit();
      QCOMPARE(fieldText(*e), QString(170, QChar(0x20AC)));
      QCOMPARE(link.unitText(), QString(170, QChar(0x20AC)).toUtf8());
      QCOMPARE(link.count(Kind::Text), 1);
    }
    link.reset();
    {
      // Not UTF-8: Latin-1 for 511 bytes, then cut to what fits the buffer.
      OpenEditor e;
      link.setUnitBytes(QByteArray(512, '\xE9'));
      e->updateTextEdit();
      QCOMPARE(fieldText(*e), QString(255, QChar(0xE9)));
      QCOMPARE(link.unitText(), QString(255, QChar(0xE9)).toUtf8());
    }
  }

  void failedReadLeavesEverything() {
    auto& link = RecordingHostLink::instance();
    {
      OpenEditor e;
      link.setUnitText("unit text");
      link.getPropertyStatus = -10879;  // an Audio Unit error status
      e->updateTextEdit();
      QCOMPARE(fieldText(*e), QStringLiteral("Execute"));
      QCOMPARE(e->bufferText(), QByteArray("Execute"));
      QCOMPARE(link.count(Kind::Text), 0);
    }
    link.reset();
    {
      // Null context: the link answers -1 and nothing arrives; the editor's
      // own calls still go out, and go nowhere.
      OpenEditor e(nullptr);
      link.setUnitText("unit text");
      e->setTextFromAU();
      QCOMPARE(link.callsOf(Kind::GetProperty)[0].context, nullptr);
      QCOMPARE(fieldText(*e), QStringLiteral("Execute"));
      QCOMPARE(e->m_text, QStringLiteral("Execute"));
      e->m_textEdit->setPlainText("typed");
      e->processInput();
      QCOMPARE(link.unitText(), QByteArray("unit text"));
      QCOMPARE(link.callsOf(Kind::Text)[0].context, nullptr);
      QCOMPARE(link.callsOf(Kind::Play)[0].context, nullptr);
      QCOMPARE(link.pendingAnnouncements, 0);
    }
  }

  // A mixed text survives any number of views opening on the same unit.
  void mixedTextSurvivesReopening() {
    auto& link = RecordingHostLink::instance();
    const QByteArray text = QString::fromUtf8(
                                "Plain ASCII, caf\xC3\xA9, 5 \xE2\x82\xAC, "
                                "\xF0\x9F\x98\x80 and <b>x</b>")
                                .toUtf8();
    link.setUnitText(text);
    const QByteArray unitBytes = link.unitBytes();

    QWidget host;
    host.resize(440, 320);
    TestEditor reused(unitContext());
    for (int i = 0; i < 5; ++i) {
      // The same editor closed and reopened, then a fresh one as a new view gets.
      reused.open(&host);
      reused.setTextFromAU();
      link.deliver(reused);
      QCOMPARE(reused.m_textEdit->toPlainText().toUtf8(), text);
      reused.close();
      QCOMPARE(link.unitBytes(), unitBytes);

      OpenEditor fresh;
      fresh->setTextFromAU();
      link.deliver(*fresh);
      QCOMPARE(fieldText(*fresh).toUtf8(), text);
      QCOMPARE(fresh->bufferText(), text);
      QCOMPARE(link.unitBytes(), unitBytes);
    }
  }

  // --- mouse -------------------------------------------------------------------

  // The About box's links lead to the project's own README, shown by the
  // editor, and to espeak-ng; with no web browser on the machine the box
  // says so itself rather than Qt warning on the host's stderr.
  void aboutLinksOpenWithoutABrowser() {
    OpenEditor e;
    QVERIFY(QTest::qWaitForWindowExposed(e.host.get()));
    const QByteArray path = qgetenv("PATH"), browser = qgetenv("BROWSER");
    QTemporaryDir empty;
    qputenv("PATH", empty.path().toLocal8Bit());
    qunsetenv("BROWSER");
    qunsetenv("DEFAULT_BROWSER");
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
          // The offscreen platform's own complaints are not the editor's.
          if (type != QtDebugMsg && !message.startsWith("This plugin does not support")) warnings << message;
        });
    auto restore = qScopeGuard([&] {
      qInstallMessageHandler(previous);
      qputenv("PATH", path);
      if (!browser.isEmpty()) qputenv("BROWSER", browser);
    });

    QStringList links, shown;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      auto* label = box ? box->findChild<QLabel*>("qt_msgbox_label") : nullptr;
      if (!label) return;
      QVERIFY(!label->openExternalLinks());
      for (const auto& m : QRegularExpression("href='([^']*)'").globalMatch(box->text())) links << m.captured(1);
      for (const QString& link : std::as_const(links)) {
        QTimer::singleShot(0, [&] {
          QWidget* opened = QApplication::activeModalWidget();
          if (auto* readme = opened ? opened->findChild<QTextBrowser*>() : nullptr)
            shown << readme->toPlainText().left(200);
          else if (auto* info = qobject_cast<QMessageBox*>(opened))
            shown << info->text();
          if (opened) opened->close();
        });
        emit label->linkActivated(link);
      }
      box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseRelease(e->m_logoLabel, Qt::LeftButton);

    QCOMPARE(links, QStringList({"README.md", "https://github.com/espeak-ng/espeak-ng"}));
    QCOMPARE(shown.size(), 2);
    QVERIFY2(shown[0].startsWith("Glimm\n"), qPrintable(shown[0]));  // the README's title, as Markdown shows it
    QVERIFY2(shown[1].contains("No web browser") && shown[1].contains("espeak-ng"), qPrintable(shown[1]));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
  }

  void logoReleaseShowsAboutAndIsConsumed() {
    OpenEditor e;
    QVERIFY(QTest::qWaitForWindowExposed(e.host.get()));
    ReleaseCounter panelSees;
    e->m_panel->installEventFilter(&panelSees);

    ModalCatcher about;
    about.arm();
    QTest::mousePress(e->m_logoLabel, Qt::LeftButton);
    QCoreApplication::processEvents();  // the press alone opens nothing
    QVERIFY(!about.seen);

    about.arm();
    QTest::mouseRelease(e->m_logoLabel, Qt::LeftButton);
    QVERIFY(about.seen);
    QCOMPARE(about.title, QStringLiteral("About"));
    QVERIFY(about.text.startsWith("VST Glimm ! the text 2 speech VST<br/><br/> <a href='"));
    QVERIFY(about.text.contains(">More Info on Brontu blog</a><br/><br/><a href='"));
    QVERIFY(about.text.contains("href='https://github.com/espeak-ng/espeak-ng'"));
    QCOMPARE(panelSees.releases, 0);

    // A release elsewhere does travel up to the panel.
    QLabel* caption = qobject_cast<QLabel*>(e->panelChildren().at(5));
    QTest::mouseClick(caption, Qt::LeftButton);
    QCOMPARE(panelSees.releases, 1);
    QVERIFY(RecordingHostLink::instance().calls.isEmpty());
  }

  void pressInFieldActivatesItsNativeView() {
    OpenEditor e;
    QVERIFY(QTest::qWaitForWindowExposed(e.host.get()));
    auto& link = RecordingHostLink::instance();
    e->m_textEdit->setPlainText("one two three");
    link.calls.clear();
    QSignalSpy clicked(e->m_textEdit, &GlimmTextEdit::clicked);
    e->m_textEdit->moveCursor(QTextCursor::End);

    QTest::mouseClick(e->m_textEdit->viewport(), Qt::LeftButton, {}, QPoint(2, 5));
    QCOMPARE(clicked.count(), 1);
    const auto activated = link.callsOf(Kind::Activate);
    QCOMPARE(activated.size(), 1);
    QCOMPARE(activated[0].nativeView, reinterpret_cast<void*>(e->m_textEdit->winId()));
    QVERIFY(activated[0].nativeView);
    QCOMPARE(e->m_textEdit->textCursor().position(), 0);  // the press placed the cursor
    QCOMPARE(link.calls.size(), 1);
  }
};

QTEST_MAIN(TestEditorText)
#include "tst_editor_text.moc"
