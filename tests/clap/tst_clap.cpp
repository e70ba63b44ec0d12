// Glimm.clap as a CLAP host sees it, through a host of our own: what it says
// of itself, what a note and a parameter event sound like, its state, its
// latency and its panel. Sound is judged from the rendered audio.
#include "PacedRender.h"
#include "ClapTestHost.h"
#include "GlimmContract.h"
#include "PluginState.h"
#include "SpeechAnalysis.h"
#include "VoiceController.h"
#include "X11Window.h"

#include <QApplication>
#include <QSlider>
#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 256;
constexpr char kId[] = "org.glimm.speech";

// The build's module, or another copy of it (GLIMM_CLAP_MODULE: the package test's).
const char* modulePath() {
  const char* other = std::getenv("GLIMM_CLAP_MODULE");
  return other && *other ? other : GLIMM_CLAP_PATH;
}

claphost::Module& module() {
  static claphost::Module m(modulePath());
  return m;
}

struct Glimm : claphost::Instance {
  Glimm() : claphost::Instance(module(), kId) {}
  bool ready() { return plugin && activate(kRate, 4096); }
};

// A state as the shared serializer writes it, with this text and parameters.
std::vector<uint8_t> stateWith(const char* text, std::initializer_list<std::pair<int, float>> params) {
  VoiceController v(nullptr);
  v.setText(text, std::strlen(text));
  for (auto [index, value] : params) v.setParameter(index, value);
  return glimm::state::save(v);
}

std::vector<float> sing(Glimm& g, int key, double seconds) {
  g.events.note(CLAP_EVENT_NOTE_ON, key, 0.8, 0);
  return g.render(seconds, kBlock);
}

}  // namespace

class TestClap : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY2(module().factory, qPrintable(QString("no CLAP factory in ") + modulePath())); }

  // An instrument with the contract's parameters, a note input for CLAP and
  // MIDI notes, and one stereo output.
  void describesItself() {
    QCOMPARE(module().factory->get_plugin_count(module().factory), 1u);
    const clap_plugin_descriptor_t* d = module().factory->get_plugin_descriptor(module().factory, 0);
    QCOMPARE(QString(d->id), QString(kId));
    QVERIFY(QString(d->vendor).size() > 0);
    QStringList features;
    for (const char* const* f = d->features; *f; ++f) features << *f;
    QVERIFY(features.contains("instrument") && features.contains("synthesizer"));

    Glimm g;
    QVERIFY(g.plugin);
    QCOMPARE(int(g.params->count(g.plugin)), int(kGlimmParamCount));
    for (const GlimmParameterFacts& p : kGlimmParameters) {
      clap_param_info_t info;
      QVERIFY(g.params->get_info(g.plugin, uint32_t(p.index), &info));
      QCOMPARE(int(info.id), p.index);
      QCOMPARE(QString(info.name), QString(p.name));
      QCOMPARE(info.min_value, double(p.minimum));
      QCOMPARE(info.max_value, double(p.maximum));
      QCOMPARE(info.default_value, double(p.defaultValue));
      QVERIFY(info.flags & CLAP_PARAM_IS_AUTOMATABLE);
      QCOMPARE(bool(info.flags & CLAP_PARAM_IS_STEPPED), p.integer || p.toggle);
    }
    const auto* notes = g.ext<clap_plugin_note_ports_t>(CLAP_EXT_NOTE_PORTS);
    clap_note_port_info_t np;
    QVERIFY(notes->count(g.plugin, true) == 1 && notes->get(g.plugin, 0, true, &np));
    QCOMPARE(np.supported_dialects & (CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI),
             uint32_t(CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI));
    const auto* audio = g.ext<clap_plugin_audio_ports_t>(CLAP_EXT_AUDIO_PORTS);
    clap_audio_port_info_t ap;
    QVERIFY(audio->count(g.plugin, true) == 0 && audio->count(g.plugin, false) == 1);
    QVERIFY(audio->get(g.plugin, 0, false, &ap));
    QCOMPARE(ap.channel_count, 2u);
  }

  // A new instance speaks its own short text on the first note: silent
  // before it, and sounding one reported latency after it, on both channels.
  void freshInstanceSpeaksOnItsNote() {
    Glimm g;
    QVERIFY(g.ready());
    QCOMPARE(g.latency->get(g.plugin), 256u);
    std::vector<float> left, right;
    for (int i = 0; i < 40; ++i) g.process(kBlock, left, &right);
    const size_t noteAt = left.size() + 100;
    g.events.note(CLAP_EVENT_NOTE_ON, 60, 0.9, 100);
    paced::renderUntil(left, noteAt, 2.5, kRate, [&] { g.process(kBlock, left, &right); });
    const long onset = analysis::firstSound(left);
    QVERIFY2(onset > 0, "no sound");
    const double late = (onset - long(noteAt) - 256) / kRate * 1000;
    QVERIFY2(late > -1 && late < 60, qPrintable(QString("first sound %1 ms after note + latency").arg(late)));
    QVERIFY(analysis::activeSeconds(left, kRate) > 0.5);
    QVERIFY(left == right);
  }

  // Parameter events and MIDI-dialect notes reach the voice: the pitch
  // parameter moves the speaking F0, a sung MIDI note sets it.
  void eventsShapeTheVoice() {
    double f0[2];
    for (int i = 0; i < 2; ++i) {
      Glimm g;
      QVERIFY(g.ready());
      g.events.param(kGlimmParam_Pitch, i == 0 ? 0 : 255);
      g.events.note(CLAP_EVENT_NOTE_ON, 60, 1, 0);
      f0[i] = analysis::medianF0(g.render(2.5, kBlock), kRate);
    }
    QVERIFY2(f0[0] > 0 && f0[1] > 1.5 * f0[0], qPrintable(QString("f0 %1 / %2 Hz").arg(f0[0]).arg(f0[1])));

    Glimm g;
    QVERIFY(g.ready());
    g.events.param(kGlimmParam_SingMode, 1);
    g.events.midi(0x90, 57, 100, 0);  // A3, 220 Hz
    const double sung = analysis::medianF0(g.render(2.0, kBlock), kRate);
    QVERIFY2(std::fabs(analysis::cents(sung, 220.0)) < 50, qPrintable(QString::number(sung)));
  }

  // A saved state brings its text and parameters into a new instance, with
  // the same bytes; an empty text stays empty, not the default.
  void stateRoundTrip() {
    const std::vector<uint8_t> state = stateWith("la la la", {{kGlimmParam_SingMode, 1}, {kGlimmParam_Speed, 150}});
    Glimm a;
    QVERIFY(a.ready() && a.load(state));
    QVERIFY(a.rescans > 0);
    const std::vector<uint8_t> saved = a.save();
    QVERIFY(saved == state);
    Glimm b;
    QVERIFY(b.ready() && b.load(saved));
    double speed = 0;
    QVERIFY(b.params->get_value(b.plugin, kGlimmParam_Speed, &speed) && speed == 150);
    const std::vector<float> audio = sing(b, 57, 2.0);
    QVERIFY(analysis::peak(audio) > 0.05);
    const double f0 = analysis::medianF0(audio, kRate);
    QVERIFY2(std::fabs(analysis::cents(f0, 220.0)) < 50, qPrintable(QString::number(f0)));

    Glimm quiet;
    QVERIFY(quiet.ready() && quiet.load(stateWith("", {})));
    QVERIFY(quiet.save() == stateWith("", {}));
    QCOMPARE(analysis::peak(sing(quiet, 57, 1.0)), 0.0);
  }

  // Streams that are not a whole state of ours change nothing.
  void hostileStatesRefused() {
    Glimm g;
    QVERIFY(g.ready());
    const std::vector<uint8_t> before = g.save();
    const std::vector<uint8_t> good = stateWith("hostile", {{kGlimmParam_Pitch, 3}});
    const auto refused = [&](const std::vector<uint8_t>& bytes, long readError = -1) {
      return !g.load(bytes, readError) && g.save() == before;
    };
    for (size_t n = 0; n < good.size(); ++n)
      QVERIFY2(refused({good.begin(), good.begin() + long(n)}), qPrintable(QString("cut at %1").arg(n)));
    std::vector<uint8_t> bad = good;
    bad.push_back(0);
    QVERIFY(refused(bad));  // a byte after the end
    bad = good;
    bad.resize(glimm::state::kMaxBytes + 100, 'a');
    QVERIFY(refused(bad));  // oversize
    bad = good;
    bad[4] = 2;
    QVERIFY(refused(bad));  // a version of the future
    bad = good;
    std::memcpy(&bad[12], "\x00\x00\xc0\x7f", 4);
    QVERIFY(refused(bad));  // a NaN parameter
    bad = stateWith("hostile", {});
    bad[bad.size() - 4 - 2 - 2] = 0xFF;  // inside the text: not UTF-8
    QVERIFY(refused(bad));
    QVERIFY(refused(good, 10));  // the host's stream fails
    std::mt19937 random(23);
    for (int i = 0; i < 500; ++i) {
      std::vector<uint8_t> noise(random() % 600);
      for (uint8_t& b : noise) b = uint8_t(random());
      if (i % 2 && !noise.empty()) std::memcpy(noise.data(), good.data(), std::min(noise.size(), size_t(12)));
      QVERIFY(refused(noise));
    }
  }

  // A longer block than any before lengthens the latency: the plug-in asks
  // for a restart once, and reports the longer latency after it.
  void longerBlockRestartsWithItsLatency() {
    Glimm g;
    QVERIFY(g.ready());
    std::vector<float> out;
    g.process(kBlock, out);
    QCOMPARE(g.restarts.load(), 0);
    g.process(1024, out);
    g.process(1024, out);
    QCOMPARE(g.restarts.load(), 1);
    QVERIFY(g.activate(kRate, 4096));
    QCOMPARE(g.latency->get(g.plugin), 1024u);
    g.process(1024, out);
    QCOMPARE(g.restarts.load(), 1);
  }

  // The panel opens and closes many times, runs from the host's timer only,
  // and leaves the plug-in playing.
  void panelOpensAndCloses() {
    Glimm g;
    QVERIFY(g.ready());
    QVERIFY(g.gui->is_api_supported(g.plugin, CLAP_WINDOW_API_X11, false));
    uint32_t w = 0, h = 0;
    QVERIFY(g.gui->get_size(g.plugin, &w, &h) && w == 440 && h == 320);
    for (int i = 0; i < 40; ++i) {
      QVERIFY2(g.gui->create(g.plugin, CLAP_WINDOW_API_X11, false), qPrintable(QString("open %1").arg(i)));
      QCOMPARE(g.timers.size(), size_t(1));
      QVERIFY(g.gui->show(g.plugin));
      g.tick();
      g.gui->destroy(g.plugin);
      QVERIFY(g.timers.empty());
    }
    g.events.note(CLAP_EVENT_NOTE_ON, 60, 1, 0);
    QVERIFY(analysis::peak(g.render(1.5, kBlock)) > 0.05);
  }

  // The panel's speed slider and the host's speed parameter follow each
  // other: a parameter event moves the slider at the next timer tick, and
  // the slider moved by the user reaches the host as a parameter event.
  void panelAndHostFollowEachOther() {
    Glimm g;
    QVERIFY(g.ready());
    QVERIFY(g.gui->create(g.plugin, CLAP_WINDOW_API_X11, false));
    g.tick();
    QSlider* speed = nullptr;
    for (QWidget* w : QApplication::allWidgets())
      if (auto* s = qobject_cast<QSlider*>(w); s && s->minimum() == 20 && s->maximum() == 200) speed = s;
    QVERIFY(speed);
    QCOMPARE(speed->value(), 100);
    g.events.param(kGlimmParam_Speed, 150);
    std::vector<float> out;
    g.process(kBlock, out);
    g.tick();
    QCOMPARE(speed->value(), 150);
    QVERIFY(g.output.params.empty());

    speed->setValue(60);
    QVERIFY(g.flushes > 0);
    g.process(kBlock, out);
    QCOMPARE(g.output.params.size(), size_t(1));
    QCOMPARE(int(g.output.params[0].param_id), int(kGlimmParam_Speed));
    QCOMPARE(g.output.params[0].value, 60.0);
    double value = 0;
    QVERIFY(g.params->get_value(g.plugin, kGlimmParam_Speed, &value) && value == 60);
    g.gui->destroy(g.plugin);
  }

  // With an X server: the panel sits inside the host's window, shown, while
  // open, and is gone from it when closed.
  void panelEmbedsInHostWindow() {
    QVERIFY2(QGuiApplication::platformName() == "xcb", "needs an X server (ctest runs it under Xvfb)");
    x11test::HostWindow window(440, 320);
    QVERIFY(window.ok());
    Glimm g;
    QVERIFY(g.ready());
    for (int i = 0; i < 5; ++i) {
      QVERIFY(g.gui->create(g.plugin, CLAP_WINDOW_API_X11, false));
      clap_window_t parent{CLAP_WINDOW_API_X11, {}};
      parent.x11 = window.id();
      QVERIFY(g.gui->set_parent(g.plugin, &parent));
      QVERIFY(g.gui->show(g.plugin));
      QTRY_VERIFY_WITH_TIMEOUT((g.tick(), window.children().size() == 1 && window.viewable(window.children()[0])),
                               5000);
      g.gui->destroy(g.plugin);
      QTRY_VERIFY_WITH_TIMEOUT(window.children().empty(), 5000);
    }
  }
};

QTEST_MAIN(TestClap)
#include "tst_clap.moc"
