// Glimm.vst3 through a VST3 host of our own: what it says of itself, a note
// and its latency, pitch bend through the MIDI mapping, the state shared
// with the CLAP, and its view in a host window. Sound is judged from audio.
#include "PacedRender.h"
#include "ClapTestHost.h"
#include "GlimmContract.h"
#include "SpeechAnalysis.h"
#include "Vst3TestHost.h"
#include "X11Window.h"

#include <QApplication>
#include <QSlider>
#include <QtTest>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace {

constexpr double kRate = 48000;
constexpr int32_t kBlock = 256;

// The build's bundle, or another copy of it (GLIMM_VST3_BUNDLE: the package test's).
std::string bundlePath() {
  const char* other = std::getenv("GLIMM_VST3_BUNDLE");
  return other && *other ? other : GLIMM_VST3_BUNDLE;
}

struct Glimm : vst3host::Instance {
  Glimm() : vst3host::Instance(bundlePath()) {}
};

std::string text16(const int16_t* s) {
  std::string out;
  for (; *s; ++s) out += char(*s);
  return out;
}

}  // namespace

class TestVst3 : public QObject {
  Q_OBJECT

 private slots:
  // An instrument with the contract's parameters, one event input, one
  // stereo output.
  void describesItself() {
    Glimm g;
    QVERIFY(g.ready());
    v3_plugin_factory_2** f2 = nullptr;
    QCOMPARE(v3_cpp_obj_query_interface(g.factory, v3_plugin_factory_2_iid, &f2), V3_OK);
    v3_class_info_2 info{};
    QCOMPARE(v3_cpp_obj(f2)->get_class_info_2(f2, 0, &info), V3_OK);
    QCOMPARE(QString(info.sub_categories), QString("Instrument|Synth"));
    QVERIFY(QString(info.vendor).size() > 0);
    for (const GlimmParameterFacts& p : kGlimmParameters) {
      v3_param_info pi{};
      QCOMPARE(v3_cpp_obj(g.controller)->get_parameter_info(g.controller, p.index, &pi), V3_OK);
      QCOMPARE(int(pi.param_id), p.index);
      QCOMPARE(QString::fromStdString(text16(pi.title)), QString(p.name));
      QCOMPARE(pi.step_count, p.toggle ? 1 : p.integer ? int32_t(p.maximum - p.minimum) : 0);
      QVERIFY(pi.flags & V3_PARAM_CAN_AUTOMATE);
      const double plain = v3_cpp_obj(g.controller)
                               ->normalised_parameter_to_plain(g.controller, pi.param_id, pi.default_normalised_value);
      QCOMPARE(plain, double(p.defaultValue));
    }
    QCOMPARE(v3_cpp_obj(g.component)->get_bus_count(g.component, V3_AUDIO, V3_OUTPUT), 1);
    QCOMPARE(v3_cpp_obj(g.component)->get_bus_count(g.component, V3_EVENT, V3_INPUT), 1);
    v3_bus_info bus{};
    QCOMPARE(v3_cpp_obj(g.component)->get_bus_info(g.component, V3_AUDIO, V3_OUTPUT, 0, &bus), V3_OK);
    QCOMPARE(bus.channel_count, 2);
  }

  // A new instance speaks its own text on a note, one reported latency
  // after it; the latency is the host's longest block.
  void noteSpeaksOneLatencyLater() {
    Glimm g;
    QVERIFY(g.ready() && g.activate(kRate, kBlock));
    QCOMPARE(v3_cpp_obj(g.processor)->get_latency_samples(g.processor), 256u);
    // 40 blocks of silence, then the note 100 frames into the next.
    const size_t noteAt = 40 * kBlock + 100;
    std::vector<float> left, right;
    while (left.size() < 40 * kBlock) g.process(kBlock, left, &right);
    g.events.note(true, 60, 0.9f, 100);
    paced::renderUntil(left, noteAt, 2.5, kRate, [&] { g.process(kBlock, left, &right); });
    const long onset = analysis::firstSound(left);
    const double late = (onset - long(noteAt) - 256) / kRate * 1000;
    QVERIFY2(onset > 0 && late > -1 && late < 60,
             qPrintable(QString("first sound %1 ms after note + latency").arg(late)));
    QVERIFY(left == right);

    Glimm big;
    QVERIFY(big.ready() && big.activate(kRate, 1024));
    QCOMPARE(v3_cpp_obj(big.processor)->get_latency_samples(big.processor), 1024u);
  }

  // Pitch bend reaches the voice as the mapped parameter: a sung A3 bent
  // fully up sounds two semitones higher. Sing mode comes as a parameter
  // change. Rendered offline, as fast as it goes: the plug-in waits for its
  // engine.
  void pitchBendThroughTheMidiMapping() {
    Glimm g;
    QVERIFY(g.ready() && g.activate(kRate, kBlock, V3_OFFLINE));
    v3_midi_mapping** mapping = nullptr;
    QCOMPARE(v3_cpp_obj_query_interface(g.component, v3_midi_mapping_iid, &mapping), V3_OK);
    v3_param_id bend = 0;
    QCOMPARE(v3_cpp_obj(mapping)->get_midi_controller_assignment(mapping, 0, 0, 129, &bend), V3_TRUE);
    v3_param_id unused = 0;
    QCOMPARE(v3_cpp_obj(mapping)->get_midi_controller_assignment(mapping, 0, 0, 7, &unused), V3_FALSE);
    v3_cpp_obj_unref(mapping);
    g.params.set(kGlimmParam_SingMode, 1);
    g.params.set(bend, 1.0);
    g.events.note(true, 57, 0.8f, 0);
    const double f0 = analysis::medianF0(g.render(2.0, kBlock), kRate);
    const double want = 220.0 * std::pow(2.0, 2.0 / 12);
    QVERIFY2(std::fabs(analysis::cents(f0, want)) < 50, qPrintable(QString("%1 Hz, want %2").arg(f0).arg(want)));
  }

  // A session moved from the CLAP keeps everything: the same bytes load
  // here and come back out; a cut stream changes nothing.
  void stateFromTheClap() {
    claphost::Module module(GLIMM_CLAP_PATH);
    claphost::Instance clap(module, "org.glimm.speech");
    QVERIFY(clap.plugin && clap.activate(kRate, kBlock));
    clap.events.param(kGlimmParam_Speed, 180);
    std::vector<float> scratch;
    clap.process(kBlock, scratch);
    const std::vector<uint8_t> bytes = clap.save();
    QVERIFY(!bytes.empty());

    Glimm g;
    QVERIFY(g.ready() && g.activate(kRate, kBlock));
    const std::vector<uint8_t> before = g.save();
    QVERIFY(!g.load({bytes.begin(), bytes.end() - 1}));
    QVERIFY(g.save() == before);
    QVERIFY(g.load(bytes));
    QVERIFY(g.save() == bytes);
    QCOMPARE(v3_cpp_obj(g.controller)->get_parameter_normalised(g.controller, kGlimmParam_Speed), (180.0 - 20) / 180);
  }

  // The panel's speed slider and the host follow each other: a parameter
  // change moves the slider at the next run-loop tick, and the slider moved
  // by the user reaches the host as one edit.
  void panelAndHostFollowEachOther() {
    Glimm g;
    QVERIFY(g.ready() && g.activate(kRate, kBlock));
    vst3host::ComponentHandler handler;
    QCOMPARE(v3_cpp_obj(g.controller)->set_component_handler(g.controller, handler.handle()), V3_OK);
    v3_plugin_view** view = v3_cpp_obj(g.controller)->create_view(g.controller, "editor");
    vst3host::Frame frame(true);
    v3_cpp_obj(view)->set_frame(view, frame.handle());
    x11test::HostWindow window(kGlimmPanelWidth, kGlimmPanelHeight);
    if (QGuiApplication::platformName() != "xcb" || !window.ok()) {
      v3_cpp_obj_unref(view);
      QFAIL("needs an X server (ctest runs it under Xvfb)");
    }
    QCOMPARE(v3_cpp_obj(view)->attached(view, reinterpret_cast<void*>(window.id()), V3_VIEW_PLATFORM_TYPE_X11), V3_OK);
    frame.tick();
    QSlider* speed = nullptr;
    for (QWidget* w : QApplication::allWidgets())
      if (auto* s = qobject_cast<QSlider*>(w); s && s->minimum() == 20 && s->maximum() == 200) speed = s;
    QVERIFY(speed);
    g.params.set(kGlimmParam_Speed, (150.0 - 20) / 180);
    std::vector<float> out;
    g.process(kBlock, out);
    frame.tick();
    QCOMPARE(speed->value(), 150);
    QVERIFY(handler.edits.empty());

    speed->setValue(60);
    QCOMPARE(handler.edits.size(), size_t(1));
    QCOMPARE(int(handler.edits[0].id), int(kGlimmParam_Speed));
    QCOMPARE(handler.edits[0].normalised, (60.0 - 20) / 180);
    QVERIFY(handler.begun == 1 && handler.ended == 1);
    QCOMPARE(v3_cpp_obj(view)->removed(view), V3_OK);
    v3_cpp_obj_unref(view);
  }

  // The view needs the host's run loop; with it, the panel sits in the
  // host's window while attached, run by the loop's timer.
  void viewInHostWindow() {
    Glimm g;
    QVERIFY(g.ready());
    for (bool runLoop : {false, true}) {
      v3_plugin_view** view = v3_cpp_obj(g.controller)->create_view(g.controller, "editor");
      QVERIFY(view);
      vst3host::Frame frame(runLoop);
      v3_cpp_obj(view)->set_frame(view, frame.handle());
      x11test::HostWindow window(440, 320);
      const bool display = QGuiApplication::platformName() == "xcb";
      void* parent = reinterpret_cast<void*>(display ? window.id() : 1);
      const v3_result attached = v3_cpp_obj(view)->attached(view, parent, V3_VIEW_PLATFORM_TYPE_X11);
      if (!runLoop) {
        QCOMPARE(attached, V3_FALSE);
      } else if (display) {
        QCOMPARE(attached, V3_OK);
        QCOMPARE(frame.timers.size(), size_t(1));
        QTRY_VERIFY_WITH_TIMEOUT((frame.tick(), window.children().size() == 1), 5000);
        QCOMPARE(v3_cpp_obj(view)->removed(view), V3_OK);
        QVERIFY(frame.timers.empty());
        QTRY_VERIFY_WITH_TIMEOUT(window.children().empty(), 5000);
      }
      v3_cpp_obj_unref(view);
    }
  }
};

QTEST_MAIN(TestVst3)
#include "tst_vst3.moc"
