// The plug-in inside a song, through lilv with a host worker on a thread of
// its own: the lyric starts again wherever the song does, and an export
// (free-wheeling, blocks back to back) puts every note on its frame, the
// first ones after a new text included.
#include "GlimmLv2.h"
#include "Lv2TestHost.h"
#include "SpeechAnalysis.h"

#include <lilv/lilv.h>

#include <QtTest>

#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 512;

using lv2host::urid;

// One instance, its ports, its worker thread and everything it rendered.
class Host : public lv2host::Ports<>, public lv2host::SequenceWriter {
 public:
  Host() : Ports(kBlock) {
    instance = lilv_plugin_instantiate(lv2host::world().plugin, kRate, m_features.get());
    if (!instance) return;
    m_worker.start(instance);
    connect(lv2host::lilvConnect(instance));
    lilv_instance_activate(instance);
    begin(control->bytes, control->kCapacity);
  }
  ~Host() {
    if (!instance) return;
    lilv_instance_deactivate(instance);
    m_worker.stop();  // before the instance goes
    lilv_instance_free(instance);
  }

  // Where the next block starts.
  size_t now() const { return audio.size(); }
  void setText(const std::string& text) { setString(urid(GLIMM_LV2_TEXT_URI), text); }
  void run() {
    end();
    notify->offer();
    lilv_instance_run(instance, kBlock);
    audio.insert(audio.end(), out.begin(), out.end());
    begin(control->bytes, control->kCapacity);
  }
  void runUntil(size_t frame) {
    while (now() + kBlock <= frame) run();
  }

  LilvInstance* instance = nullptr;
  std::vector<float> audio;

 private:
  lv2host::RealTimeWorker m_worker;
  lv2host::Features m_features{nullptr, &m_worker.schedule};
};

// Where a note's sound starts, counted from its frame; -1 if it has none
// within `window` frames.
long onset(const Host& h, size_t at, size_t window) {
  const std::vector<float> part(h.audio.begin() + long(at), h.audio.begin() + long(at + window));
  return analysis::firstSound(part, 1e-3);
}

}  // namespace

class TestLv2Song : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY2(lv2host::world().plugin, "urn:glimm:speech not found"); }

  // Two notes a pass over "she la moo": a pass that starts where the song
  // starts rolling, jumps back, or gets MIDI Start or a speak request sings
  // she-la every time, with each word on the same frame after its note; a
  // pass that just goes on (positions every block, as some hosts send)
  // sings moo-she.
  void lyricRestartsWithTheSong() {
    // Hosts send positions only to a port that says it takes them.
    const lv2host::World& w = lv2host::world();
    LilvNode* position = lilv_new_uri(w.world, LV2_TIME__Position);
    const bool supported =
        lilv_port_supports_event(w.plugin, lilv_plugin_get_port_by_index(w.plugin, kGlimmPortControl), position);
    lilv_node_free(position);
    QVERIFY(supported);

    Host h;
    h.freeWheel = 1;
    h.params[kGlimmParam_SingMode] = 1;
    h.setText("she la moo");
    h.run();
    constexpr size_t kSpacing = 75 * kBlock, kHeld = 56 * kBlock;
    const uint32_t offsets[] = {100, 333};
    // The host's song: where it is and whether it rolls, told every block.
    int64_t song = 0;
    bool rolling = false;
    // One block: the song's position first, as hosts send it, then `events`.
    auto step = [&](auto&& events) {
      h.position(song, rolling ? 1 : 0);
      events();
      h.run();
      if (rolling) song += kBlock;
    };
    auto idle = [] {};
    // Two notes from the next block on, after `events`; each note's
    // spectral centroid (which word) and where its sound starts after its frame.
    auto pass = [&](auto&& events) {
      events();
      const size_t start = h.now();
      std::vector<size_t> at;
      for (size_t n = 0; n < 2; ++n) {
        while (h.now() < start + n * kSpacing) step(idle);
        at.push_back(h.now() + offsets[n]);
        step([&] { h.midi(0x90, uint8_t(60 + 4 * n), 100, offsets[n]); });
        while (h.now() < start + n * kSpacing + kHeld) step(idle);
        step([&] { h.midi(0x80, uint8_t(60 + 4 * n), 0, 0); });
      }
      while (h.now() < start + 2 * kSpacing) step(idle);
      std::vector<std::pair<double, long>> notes;
      for (size_t a : at) {
        const std::vector<float> part(h.audio.begin() + long(a), h.audio.begin() + long(a + kSpacing - kBlock));
        notes.emplace_back(analysis::spectralCentroid(part, kRate), analysis::firstSound(part, 1e-3));
      }
      return notes;
    };
    auto differs = [](const auto& a, const auto& b) {
      QStringList d;
      for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(std::log(a[i].first / b[i].first)) > 0.05 || std::labs(a[i].second - b[i].second) > 2)
          d << QString("note %1: %2 Hz at %3 against %4 Hz at %5")
                   .arg(i)
                   .arg(b[i].first, 0, 'f', 1)
                   .arg(b[i].second)
                   .arg(a[i].first, 0, 'f', 1)
                   .arg(a[i].second);
      return d.join("; ");
    };

    pass(idle);  // stopped: she-la, the lyric then stands at moo
    const auto first = pass([&] { rolling = true; });
    const auto jumped = pass([&] { song = 0; });
    const auto goesOn = pass(idle);
    const auto started = pass([&] { step([&] { h.atom(urid(LV2_MIDI__MidiEvent), "\xFA", 1); }); });
    const auto spoken = pass([&] {
      step([&] { h.setString(urid(GLIMM_LV2_SPEAK_URI), ""); });
      // Until the text has been spoken: half a second of silence.
      for (size_t quiet = 0; quiet < 47 && h.now() < 30 * kRate;) {
        step(idle);
        quiet = analysis::peak(h.out) > 0 ? 0 : quiet + 1;
      }
    });
    qInfo("centroids of the first pass: %.0f and %.0f Hz; of a pass that went on: %.0f and %.0f Hz", first[0].first,
          first[1].first, goesOn[0].first, goesOn[1].first);
    QVERIFY2(first[0].second == long(kBlock) && first[1].second == long(kBlock), qPrintable(differs(first, first)));
    QVERIFY2(differs(first, jumped).isEmpty(), qPrintable("jumped back: " + differs(first, jumped)));
    QVERIFY2(!differs(first, goesOn).isEmpty(), "a pass that went on sang the same words");
    QVERIFY2(differs(first, started).isEmpty(), qPrintable("MIDI Start: " + differs(first, started)));
    QVERIFY2(differs(first, spoken).isEmpty(), qPrintable("speak request: " + differs(first, spoken)));
  }

  // An export with the host's worker on its own thread: a new text, and
  // notes from the same block on (the instance's very first), blocks back to
  // back, the last a block and a bit after the one before. Every note starts
  // exactly one block after its frame, in 20 instances of 20.
  void exportKeepsEveryNote() {
    struct Note {
      size_t block;
      uint32_t offset;
      uint8_t key;
    };
    const Note notes[] = {{0, 37, 62}, {25, 187, 64}, {49, 337, 65}, {50, 450, 67}};
    QStringList late;
    for (int run = 0; run < 20; ++run) {
      Host h;
      h.freeWheel = 1;
      h.params[kGlimmParam_SingMode] = 1;
      for (size_t b = 0; b < 70; ++b) {
        if (b == 0) h.setText(run % 2 ? "she la moo" : "moo she la");
        for (const Note& n : notes) {
          if (n.block == b) h.midi(0x90, n.key, 100, n.offset);
          if (n.block + 16 == b) h.midi(0x80, n.key, 0, 0);
        }
        h.run();
      }
      // From shortly before each note is due: the one before has faded
      // out by then, since the newest note takes the voice.
      for (const Note& n : notes) {
        const long first = onset(h, n.block * kBlock + n.offset + kBlock - 100, 4 * kBlock);
        if (first != 100)
          late << QString("run %1 note %2: %3")
                      .arg(run)
                      .arg(n.key)
                      .arg(first < 0 ? QString("silent") : QString::number(first - 100 + long(kBlock)));
      }
    }
    QVERIFY2(late.isEmpty(), qPrintable(late.join("; ")));
  }
};

QTEST_GUILESS_MAIN(TestLv2Song)
#include "tst_lv2_song.moc"
