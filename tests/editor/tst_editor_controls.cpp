// Parameter sliders, switches, values from the unit and the view button.
#include "editortest.h"

#include <QApplication>

#include <cmath>
#include <limits>

using Kind = HostLinkCall::Kind;

namespace {

QSlider* sliderFor(TestEditor& ed, int index) {
  QSlider* s[] = {ed.m_pitchSlider, ed.m_speedSlider, ed.m_mouthSlider, ed.m_throatSlider};
  return s[index];
}

QLabel* labelFor(TestEditor& ed, int index) {
  QLabel* l[] = {ed.m_pitchLabel, ed.m_speedLabel, ed.m_mouthLabel, ed.m_throatLabel};
  return l[index];
}

// Every value the panel shows, to see that nothing changed.
QStringList snapshot(TestEditor& ed) {
  QStringList out;
  for (QSlider* s : ed.m_panel->findChildren<QSlider*>()) out << QString::number(s->value());
  for (QLabel* l : ed.m_panel->findChildren<QLabel*>()) out << l->text();
  return out;
}

}  // namespace

class TestEditorControls : public QObject {
  Q_OBJECT

 private slots:
  void init() { RecordingHostLink::instance().reset(); }
  // Values from the unit never go back to it.
  void cleanup() {
    QCOMPARE(RecordingHostLink::instance().count(Kind::Parameter), m_expectedSends);
    m_expectedSends = 0;
  }

  void switches() {
    OpenEditor e;
    auto& link = RecordingHostLink::instance();
    // Every switch reaches the unit as its parameter, the switch as sender.
    e->m_phoneticSwitch->setValue(1);
    e->m_filterSwitch->setValue(1);
    QCOMPARE(e->m_phoneticLabel->text(), QStringLiteral("ON"));
    QCOMPARE(e->m_filterLabel->text(), QStringLiteral("ON"));
    e->m_filterSwitch->setValue(0);
    QCOMPARE(e->m_filterLabel->text(), QStringLiteral("OFF"));

    e->m_singSwitch->setValue(1);
    QCOMPARE(e->m_singLabel->text(), QStringLiteral("ON"));
    e->m_singSwitch->setValue(0);
    QCOMPARE(e->m_singLabel->text(), QStringLiteral("OFF"));
    const auto sent = link.callsOf(Kind::Parameter);
    QCOMPARE(sent.size(), 5);
    const struct {
      int index;
      float value;
      QSlider* sender;
    } want[] = {{5, 1, e->m_phoneticSwitch},
                {6, 1, e->m_filterSwitch},
                {6, 0, e->m_filterSwitch},
                {4, 1, e->m_singSwitch},
                {4, 0, e->m_singSwitch}};
    for (int i = 0; i < 5; ++i) {
      QCOMPARE(sent[i].index, want[i].index);
      QCOMPARE(sent[i].value, want[i].value);
      QCOMPARE(sent[i].sender, static_cast<void*>(want[i].sender));
    }
    m_expectedSends = 5;
  }

  // The unit's phonetic and filter values move their switches as the sing
  // mode's moves its own, without sending anything back.
  void phoneticAndFilterFollowTheUnit() {
    OpenEditor e;
    const struct {
      int index;
      QSlider* sw;
      QLabel* label;
    } rows[] = {{5, e->m_phoneticSwitch, e->m_phoneticLabel}, {6, e->m_filterSwitch, e->m_filterLabel}};
    for (const auto& row : rows) {
      e->updateControls(row.index, 1.f);
      QCOMPARE(row.sw->value(), 1);
      QCOMPARE(row.label->text(), QStringLiteral("ON"));
      row.label->setText("marker");
      e->updateControls(row.index, 1.f);  // equal: nothing at all
      QCOMPARE(row.label->text(), QStringLiteral("marker"));
      e->updateControls(row.index, 0.3f);
      QCOMPARE(row.sw->value(), 0);
      QCOMPARE(row.label->text(), QStringLiteral("OFF"));
    }
    QCOMPARE(e->m_singSwitch->value(), 0);
  }

  void nullContextStillUpdatesLabels() {
    OpenEditor e(nullptr);
    e->m_mouthSlider->setValue(17);
    e->m_singSwitch->setValue(1);
    QCOMPARE(e->m_mouthLabel->text(), QStringLiteral("17"));
    QCOMPARE(e->m_singLabel->text(), QStringLiteral("ON"));
    for (const HostLinkCall& c : RecordingHostLink::instance().calls) QCOMPARE(c.context, nullptr);
    m_expectedSends = 2;
  }

  void sliderFromUnit_data() {
    const float inf = std::numeric_limits<float>::infinity();
    QTest::addColumn<int>("index");
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("label");
    QTest::newRow("whole") << 0 << 42.f << 42 << "42";
    QTest::newRow("truncates") << 2 << 99.9f << 99 << "99";
    QTest::newRow("toward zero") << 3 << -0.5f << 0 << "0";  // already there: label untouched
    QTest::newRow("below range") << 1 << 12.f << 20 << "12";
    QTest::newRow("above range") << 0 << 300.f << 255 << "300";
    QTest::newRow("negative") << 2 << -7.9f << 0 << "-7";
    QTest::newRow("+inf") << 0 << inf << 255 << "2147483647";
    QTest::newRow("-inf") << 1 << -inf << 20 << "-2147483648";
    QTest::newRow("beyond int") << 3 << 3e9f << 255 << "2147483647";
    QTest::newRow("below int") << 0 << -3e9f << 0 << "-2147483648";
    QTest::newRow("largest below 2^31") << 2 << 2147483520.f << 255 << "2147483520";
  }
  void sliderFromUnit() {
    QFETCH(int, index);
    QFETCH(float, value);
    QFETCH(int, position);
    QFETCH(QString, label);
    OpenEditor e;
    e->updateControls(index, value);
    QCOMPARE(sliderFor(*e, index)->value(), position);
    QCOMPARE(labelFor(*e, index)->text(), label);
  }

  void sameValueChangesNothing() {
    OpenEditor e;
    e->updateControls(0, 99.f);
    QCOMPARE(e->m_pitchLabel->text(), QStringLiteral("99"));
    e->m_pitchLabel->setText("marker");
    e->updateControls(0, 99.9f);
    QCOMPARE(e->m_pitchSlider->value(), 99);
    QCOMPARE(e->m_pitchLabel->text(), QStringLiteral("marker"));
  }

  // NaN has no position: it is ignored, where converting it would be undefined.
  void nanIsIgnoredForSliders() {
    OpenEditor e;
    e->updateControls(1, 50.f);
    const QStringList before = snapshot(*e);
    for (int index = 0; index < 4; ++index) e->updateControls(index, std::numeric_limits<float>::quiet_NaN());
    QCOMPARE(snapshot(*e), before);
  }

  void singSwitchFromUnit() {
    OpenEditor e;
    QSlider* sw = e->m_singSwitch;
    QLabel* label = e->m_singLabel;

    e->updateControls(4, 0.3f);  // switch stays at 0, label rewritten
    QCOMPARE(sw->value(), 0);
    QCOMPARE(label->text(), QStringLiteral("OFF"));

    e->updateControls(4, 1.f);
    QCOMPARE(sw->value(), 1);
    QCOMPARE(label->text(), QStringLiteral("ON"));

    label->setText("marker");
    e->updateControls(4, 1.f);  // equal: nothing at all
    QCOMPARE(label->text(), QStringLiteral("marker"));

    e->updateControls(4, 0.7f);
    QCOMPARE(sw->value(), 1);
    QCOMPARE(label->text(), QStringLiteral("ON"));

    e->updateControls(4, 0.5f);
    QCOMPARE(sw->value(), 1);
    e->updateControls(4, 0.49f);
    QCOMPARE(sw->value(), 0);
    QCOMPARE(label->text(), QStringLiteral("OFF"));

    e->updateControls(4, std::numeric_limits<float>::quiet_NaN());
    QCOMPARE(sw->value(), 1);
    QCOMPARE(label->text(), QStringLiteral("ON"));

    e->updateControls(4, -std::numeric_limits<float>::infinity());
    QCOMPARE(sw->value(), 0);
    QCOMPARE(label->text(), QStringLiteral("OFF"));
  }

  void unknownIndexChangesNothing() {
    OpenEditor e;
    const QStringList before = snapshot(*e);
    for (int index : {7, -1, 8, 1000, -2147483647 - 1}) e->updateControls(index, 1.f);
    QCOMPARE(snapshot(*e), before);
    QCOMPARE(e->m_phoneticSwitch->value(), 0);
    QCOMPARE(e->m_filterSwitch->value(), 0);
  }

  void viewButtonSwitchesViews() {
    OpenEditor e;
    QVERIFY(QTest::qWaitForWindowExposed(e.host.get()));
    QWidget* panel = e->m_panel;
    const QPoint onPitchRow = e->m_pitchSlider->geometry().center();
    QCOMPARE(panel->childAt(onPitchRow), e->m_pitchSlider);

    QTest::mouseClick(e->m_viewButton, Qt::LeftButton);
    QVERIFY(e->m_configShown);
    QCOMPARE(e->m_viewButton->text(), QStringLiteral("param"));
    QVERIFY(e->m_configGroup->isVisible());
    QVERIFY(e->m_singSwitch->isVisible());
    QVERIFY(e->m_configGroup->isAncestorOf(panel->childAt(onPitchRow)) ||
            panel->childAt(onPitchRow) == e->m_configGroup);

    e->m_pitchSlider->setValue(9);  // rows keep working while covered
    QCOMPARE(e->m_pitchLabel->text(), QStringLiteral("9"));

    QTest::mouseClick(e->m_viewButton, Qt::LeftButton);
    QVERIFY(!e->m_configShown);
    QCOMPARE(e->m_viewButton->text(), QStringLiteral("config"));
    QVERIFY(!e->m_configGroup->isVisible());
    QCOMPARE(panel->childAt(onPitchRow), e->m_pitchSlider);
    QCOMPARE(e->m_pitchSlider->value(), 9);
    m_expectedSends = 1;
  }

 private:
  int m_expectedSends = 0;
};

QTEST_MAIN(TestEditorControls)
#include "tst_editor_controls.moc"
