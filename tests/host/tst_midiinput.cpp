// glimm-host's MIDI input between RtMidi's thread and the audio thread: what
// reaches the unit, and where in the block, from messages stamped on arrival.
#include "midiinput.h"

#include <QtTest>

#include <thread>

namespace {

struct Delivered {
  uint8_t status, data1, data2;
  uint32_t offset;
};

void record(void* context, uint8_t status, uint8_t data1, uint8_t data2, uint32_t offset) {
  static_cast<std::vector<Delivered>*>(context)->push_back({status, data1, data2, offset});
}

constexpr double kRate = 48000;
constexpr int64_t kMs = 1000000;

}  // namespace

class TestMidiInput : public QObject {
  Q_OBJECT
 private slots:
  void keepsTimingWithinTheBlock() {
    std::vector<Delivered> got;
    MidiInput in(record, &got, kRate);
    const int64_t t0 = 1000 * kMs;
    in.deliver(256, t0);  // the first block has nothing
    QVERIFY(got.empty());
    // Arrivals 0, 1 and 5 ms into the block that follows; 5 ms is past 256
    // frames (5.33 ms is), so every one lands inside it, in order.
    const unsigned char on[] = {0x90, 60, 100}, off[] = {0x80, 60, 0}, on2[] = {0x91, 64, 127};
    in.received(on, 3, t0);
    in.received(off, 3, t0 + 1 * kMs);
    in.received(on2, 3, t0 + 5 * kMs);
    in.deliver(256, t0 + 5333333);
    QCOMPARE(got.size(), size_t(3));
    QCOMPARE(got[0].offset, 0u);
    QCOMPARE(got[1].offset, 48u);
    QCOMPARE(got[2].offset, 240u);
    QCOMPARE(got[2].status, uint8_t(0x91));
    QCOMPARE(got[2].data1, uint8_t(64));
    QCOMPARE(got[2].data2, uint8_t(127));
    // One that arrived before the block it is delivered in plays at its
    // start; one stamped later than the block is long plays at its end.
    got.clear();
    in.received(on, 3, t0);
    in.received(on2, 3, t0 + 50 * kMs);
    in.deliver(256, t0 + 12 * kMs);
    QCOMPARE(got.size(), size_t(2));
    QCOMPARE(got[0].offset, 0u);
    QCOMPARE(got[1].offset, 255u);
  }

  void takesWholeChannelMessagesOnly() {
    std::vector<Delivered> got;
    MidiInput in(record, &got, kRate);
    const struct {
      std::vector<unsigned char> bytes;
      bool kept;
    } cases[] = {
        {{0x90, 60, 100}, true},   {{0xB0, 123, 0}, true},      {{0xE0, 0, 64}, true},    {{0xC5, 7}, true},
        {{0xD0, 90}, true},        {{60, 100}, false},          {{0x90, 60}, false},      {{0x90, 0x80, 1}, false},
        {{0x90, 60, 0xFF}, false}, {{0xF0, 1, 2, 0xF7}, false}, {{0xF8}, false},          {{}, false},
        {{0x90, 0, 1}, true},      {{0x90, 127, 127}, true},    {{0x80, 64, 0, 5}, true}, {{0xFA}, true},
    };
    size_t kept = 0;
    for (const auto& c : cases) {
      in.received(c.bytes.data(), c.bytes.size(), 0);
      kept += c.kept;
    }
    in.deliver(256, 0);
    QCOMPARE(got.size(), kept);
    QCOMPARE(in.dropped(), (unsigned long long)(std::size(cases) - kept));
    QCOMPARE(got[3].status, uint8_t(0xC5));
    QCOMPARE(got[3].data2, uint8_t(0));  // one data byte: the second is 0
  }

  void floodsAreBoundedAndNothingIsLost() {
    // More than one block may deliver: the rest waits for the next block;
    // more than the ring holds is counted as dropped, never overwritten.
    std::vector<Delivered> got;
    MidiInput in(record, &got, kRate);
    const size_t sent = MidiInput::kRingEvents + 100;
    for (size_t i = 0; i < sent; ++i) {
      const unsigned char on[] = {0x90, uint8_t(i % 128), 100};
      in.received(on, 3, 0);
    }
    QCOMPARE(in.dropped(), 100ull);
    in.deliver(256, 0);
    QCOMPARE(got.size(), MidiInput::kEventsPerBlock);
    size_t blocks = 1;
    while (got.size() < MidiInput::kRingEvents && blocks < 100) {
      in.deliver(256, 0);
      ++blocks;
    }
    QCOMPARE(got.size(), MidiInput::kRingEvents);
    QCOMPARE(blocks, MidiInput::kRingEvents / MidiInput::kEventsPerBlock);
    for (size_t i = 0; i < got.size(); ++i) QCOMPARE(got[i].data1, uint8_t(i % 128));
  }

  void threadsHandOverInOrder() {
    // RtMidi's thread writes while the audio thread reads: every message
    // arrives once, in order.
    struct Counted {
      std::vector<Delivered> got;
      std::atomic<size_t> count{0};
    } rec;
    rec.got.reserve(20000);
    MidiInput in(
        [](void* c, uint8_t s, uint8_t d1, uint8_t d2, uint32_t o) {
          auto* r = static_cast<Counted*>(c);
          r->got.push_back({s, d1, d2, o});
          r->count.fetch_add(1);
        },
        &rec, kRate);
    std::thread producer([&] {
      for (size_t i = 0; i < 20000; ++i) {
        // Stays within the ring, as a keyboard does.
        while (i - rec.count.load() >= MidiInput::kRingEvents / 2) std::this_thread::yield();
        const unsigned char on[] = {uint8_t(0x90 | (i / 128 % 16)), uint8_t(i % 128), 1};
        in.received(on, 3);
      }
    });
    while (rec.count.load() < 20000) in.deliver(256);
    producer.join();
    QCOMPARE(in.dropped(), 0ull);
    QCOMPARE(rec.got.size(), size_t(20000));
    for (size_t i = 0; i < 20000; ++i) {
      QCOMPARE(rec.got[i].data1, uint8_t(i % 128));
      QCOMPARE(rec.got[i].status, uint8_t(0x90 | (i / 128 % 16)));
    }
  }

  // With no JACK server, the ALSA sequencer (where the machine has one) is
  // the only MIDI system: the port opens there; without it, a clean answer
  // and no throw.
  void opensWhereAMidiSystemRuns() {
    qputenv("JACK_DEFAULT_SERVER", "glimm-no-such-server");
    qputenv("JACK_NO_START_SERVER", "1");
    const bool sequencer = QFile::exists("/dev/snd/seq");
    bool running = !sequencer;
    MidiInput::listSources(&running);
    QCOMPARE(running, sequencer);
    std::vector<Delivered> got;
    MidiInput in(record, &got, kRate);
    std::string error;
    QCOMPARE(in.open(&error), sequencer);
    if (sequencer)
      QCOMPARE(in.system(), std::string("ALSA"));
    else
      QVERIFY(error.find("no MIDI system is running") != std::string::npos);
  }
};

QTEST_GUILESS_MAIN(TestMidiInput)
#include "tst_midiinput.moc"
