// The render thread never allocates, locks, waits or makes a system call:
// measured, not argued. The interposer (rtcheck) counts such calls made on a
// thread while it is inside AudioUnitRender, MusicDeviceMIDIEvent or
// AudioUnitSetParameter from the render thread, inside LV2 run(), or inside
// CLAP or VST3 process(). Each path speaks, sings, changes text and parameters and takes MIDI for 30 s of
// audio; renders that allocate or lock on purpose show the measurement bites.
#include "ClapTestHost.h"
#include "GlimmLv2.h"
#include "PluginState.h"
#include "VoiceController.h"
#include "Lv2TestHost.h"
#include "SpeechUnitHarness.h"
#include "Vst3TestHost.h"
#include "rtcheck.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <QtTest>

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 256;
// Twice real time: fast enough for the test, slow enough that the engine's
// worker sees audio running the way it does in a host.
constexpr double kPace = 2.0;

struct Window {
  Window() { glimm_rtcheck_enter(); }
  ~Window() { glimm_rtcheck_leave(); }
};

QString violations() {
  QString s = QString("alloc %1, lock %2, syscall %3, stdio %4")
                  .arg(glimm_rtcheck_count(kGlimmRtAlloc))
                  .arg(glimm_rtcheck_count(kGlimmRtLock))
                  .arg(glimm_rtcheck_count(kGlimmRtSyscall))
                  .arg(glimm_rtcheck_count(kGlimmRtStdio));
  const char* fn = nullptr;
  void* caller = nullptr;
  for (int i = 0; i < 12 && glimm_rtcheck_event(i, &fn, &caller); ++i) {
    Dl_info info{};
    const bool known = dladdr(caller, &info) && info.dli_sname;
    const auto offset = reinterpret_cast<uintptr_t>(caller) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    s += QString("\n  %1 from %2 (%3+0x%4)")
             .arg(fn, known ? info.dli_sname : "?", info.dli_fname ? info.dli_fname : "?")
             .arg(qulonglong(offset), 0, 16);
  }
  return s;
}

// Sleeps off what the block was ahead of the pace (outside any window).
class Pacer {
 public:
  void block() {
    ++m_blocks;
    const auto due = m_start + std::chrono::duration<double>(m_blocks * kBlock / kRate / kPace);
    std::this_thread::sleep_until(std::chrono::time_point_cast<std::chrono::steady_clock::duration>(due));
  }

 private:
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  long m_blocks = 0;
};

const char* const kTexts[] = {"Hello, this is Glimm speaking.", "Real time means no waiting.", "la la la",
                              "Numbers: 1 2 3 4 5.", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC 42"};

// ---- the Audio Unit path --------------------------------------------------------

using AuRender = std::function<OSStatus(AudioUnit, AudioUnitRenderActionFlags*, UInt32, AudioBufferList*)>;

OSStatus plainRender(AudioUnit u, AudioUnitRenderActionFlags* flags, UInt32 frames, AudioBufferList* list) {
  AudioTimeStamp ts{};
  return AudioUnitRender(u, flags, &ts, 0, frames, list);
}

struct AuOutcome {
  long blocks = 0, heardBlocks = 0, renderErrors = 0, notes = 0, automations = 0;
  float peak = 0;
};

// The render thread renders `seconds` of audio through `render`, automating
// parameters and sending notes from inside its window as a host's audio
// thread does; meanwhile this thread changes text, parameters and speaks.
AuOutcome driveAudioUnit(AudioUnit u, double seconds, const AuRender& render) {
  AuOutcome o;
  std::atomic<bool> done{false};
  // A host sets its unit up, then its audio runs: the worker watches from the
  // first control call on (see pauseCostsOneWake for audio that resumes).
  harness::setText(u, kTexts[0]);
  std::thread audio([&] {
    std::vector<float> left(kBlock), right(kBlock);
    harness::StereoList stereo;
    std::mt19937 rng(7);
    Pacer pacer;
    const long blocks = long(seconds * kRate / kBlock);
    for (long b = 0; b < blocks; ++b) {
      AudioBufferList* list = stereo.over(left, right, kBlock);
      AudioUnitRenderActionFlags flags = 0;
      const bool automate = b % 40 == 0, note = b % 150 == 75;
      const auto param = AudioUnitParameterID(rng() % 4);
      const float value = float(rng() % 256);
      const UInt32 key = 48 + rng() % 24;
      OSStatus err;
      {
        Window w;
        if (automate) AudioUnitSetParameter(u, param, kAudioUnitScope_Global, 0, value, 0);
        if (note) MusicDeviceMIDIEvent(u, 0x90, key, 100, 0);
        err = render(u, &flags, kBlock, list);
      }
      o.automations += automate;
      o.notes += note;
      o.renderErrors += err != noErr;
      float peak = 0;
      for (float s : left) peak = std::max(peak, std::fabs(s));
      o.peak = std::max(o.peak, peak);
      o.heardBlocks += peak > 0.01f;
      ++o.blocks;
      pacer.block();
    }
    done = true;
  });
  std::mt19937 rng(11);
  int round = 0;
  while (!done) {
    // Every change a user or a host's control thread makes, in turn.
    switch (round++ % 5) {
      case 0:
        harness::setText(u, kTexts[rng() % std::size(kTexts)]);
        harness::play(u);
        break;
      case 1:
        harness::setParam(u, kGlimmParam_Speed, float(60 + rng() % 140));
        break;
      case 2:
        harness::setParam(u, kGlimmParam_SingMode, float(rng() % 2));
        break;
      case 3: {
        char text[kGlimmTextBufferSize];
        UInt32 size = sizeof text;
        AudioUnitGetProperty(u, kGlimmProperty_Text, kAudioUnitScope_Global, 0, text, &size);
        break;
      }
      default:
        harness::play(u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  audio.join();
  return o;
}

// ---- the LV2 path ---------------------------------------------------------------

using lv2host::urid;

// A log fit for run(): it counts and formats nothing.
struct CountingLog {
  std::atomic<int> lines{0};
  LV2_Log_Log log{this, lv2host::logPrintf<vprintfLine>, vprintfLine};
  static int vprintfLine(LV2_Log_Handle h, LV2_URID, const char*, va_list) {
    static_cast<CountingLog*>(h)->lines.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
};

struct Lv2Outcome {
  long blocks = 0, heardBlocks = 0, texts = 0, speaks = 0, notes = 0, worked = 0, refused = 0, logLines = 0;
  float peak = 0;
};

// The whole host loop runs on one thread, as an audio thread with its own
// MIDI and automation queues would: it forges the block's events, moves the
// control ports, and calls run() inside the window.
Lv2Outcome driveLv2(const LilvPlugin* plugin, double seconds, bool lockingWorker) {
  Lv2Outcome o;
  CountingLog log;
  lv2host::RealTimeWorker worker(lockingWorker);
  const lv2host::Features features(&log.log, &worker.schedule);
  LilvInstance* inst = lilv_plugin_instantiate(plugin, kRate, features.get());
  if (!inst) return o;
  worker.start(inst);

  // Real time, as the host says (free-wheeling off): run() must not wait for the worker.
  lv2host::Ports<> ports(kBlock);
  ports.connect(lv2host::lilvConnect(inst));
  lilv_instance_activate(inst);

  lv2host::SequenceWriter events;
  const LV2_URID text = urid(GLIMM_LV2_TEXT_URI), speak = urid(GLIMM_LV2_SPEAK_URI);

  std::mt19937 rng(5);
  Pacer pacer;
  const long blocks = long(seconds * kRate / kBlock);
  for (long b = 0; b < blocks; ++b) {
    events.begin(ports.control->bytes, ports.control->kCapacity);
    // The transport: rolling on, now and then a jump (the lyric restarts).
    if (b % 50 == 10) events.position(b % 200 == 10 ? 0 : b * int64_t(kBlock), 1);
    if (b % 300 == 0) {
      events.setString(text, kTexts[rng() % std::size(kTexts)]);
      ++o.texts;
    }
    if (b % 300 == 1 || b % 300 == 150) {
      events.setString(speak, "");
      ++o.speaks;
    }
    if (b % 100 == 50) {
      const uint8_t key = uint8_t(48 + rng() % 24);
      events.midi(0x90, key, 100, rng() % kBlock);
      ++o.notes;
    }
    if (b % 500 == 250) events.get();
    events.end();
    if (b % 20 == 0) ports.params[rng() % 4] = float(rng() % 256);
    if (b % 600 == 300) ports.params[kGlimmParam_SingMode] = float(rng() % 2);
    ports.notify->offer();
    {
      Window w;
      lilv_instance_run(inst, kBlock);
    }
    float peak = 0;
    for (float s : ports.out) peak = std::max(peak, std::fabs(s));
    o.peak = std::max(o.peak, peak);
    o.heardBlocks += peak > 0.01f;
    ++o.blocks;
    pacer.block();
  }
  lilv_instance_deactivate(inst);
  // The worker looks every millisecond; give a loaded machine time to finish.
  for (int i = 0; i < 2000 && worker.worked() + worker.refused() < o.texts + o.speaks; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  o.worked = worker.worked();
  o.refused = worker.refused();
  o.logLines = log.lines;
  worker.stop();  // before the instance goes
  lilv_instance_free(inst);
  return o;
}

// ---- the CLAP path --------------------------------------------------------------

struct FormatOutcome {
  long blocks = 0, heardBlocks = 0, loads = 0, loaded = 0, events = 0;
  float peak = 0;

  // Counts one rendered block and whether it was heard.
  void count(const float* left) {
    float p = 0;
    for (size_t i = 0; i < kBlock; ++i) p = std::max(p, std::fabs(left[i]));
    peak = std::max(peak, p);
    heardBlocks += p > 0.01f;
    ++blocks;
  }
};

// Loads saved states with new texts into `g` in turn, every 0.7 s, until
// `done`, as a host's main thread may while it plays.
template <typename Plugin>
void loadWhilePlaying(Plugin& g, const std::atomic<bool>& done, FormatOutcome& o) {
  std::vector<std::vector<uint8_t>> states;
  for (const char* text : kTexts) {
    VoiceController v(nullptr);
    v.setText(text, std::strlen(text));
    states.push_back(glimm::state::save(v));
  }
  for (size_t i = 0; !done; ++i) {
    o.loaded += g.load(states[i % states.size()]);
    ++o.loads;
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
  }
}

// The audio thread forges each block's events outside the window (forge
// returns how many) and calls process() inside it; meanwhile this thread
// loads states with new texts, as a host's main thread may while it plays.
template <typename Plugin, typename Forge, typename Clear>
FormatOutcome play(Plugin& g, double seconds, Forge&& forge, Clear&& clear) {
  FormatOutcome o;
  std::atomic<bool> done{false};
  std::thread audio([&] {
    std::mt19937 rng(9);
    Pacer pacer;
    const long blocks = long(seconds * kRate / kBlock);
    for (long b = 0; b < blocks; ++b) {
      o.events += forge(b, rng);
      {
        Window w;
        g.processOnly(kBlock);
      }
      clear();
      o.count(g.lastLeft().data());
      pacer.block();
    }
    done = true;
  });
  loadWhilePlaying(g, done, o);
  audio.join();
  return o;
}

// The CLAP: notes, MIDI and parameters as events.
FormatOutcome driveClap(double seconds) {
  static claphost::Module module(GLIMM_CLAP_PATH);
  claphost::Instance g(module, "org.glimm.speech");
  if (!g.plugin || !g.activate(kRate, kBlock)) return {};
  auto forge = [&](long b, std::mt19937& rng) {
    if (b % 20 == 0) g.events.param(rng() % 4, rng() % 256, rng() % kBlock);
    if (b % 100 == 50) g.events.note(CLAP_EVENT_NOTE_ON, int(48 + rng() % 24), 0.8, rng() % kBlock);
    if (b % 100 == 90) g.events.midi(0x80, 60, 0, 0);
    if (b % 600 == 300) g.events.param(kGlimmParam_SingMode, rng() % 2);
    return long(g.events.in.size(&g.events.in));
  };
  return play(g, seconds, forge, [&] { g.events.clear(); });
}

// The VST3: notes as events, parameters, pitch bend and all notes off as
// parameter changes.
FormatOutcome driveVst3(double seconds) {
  vst3host::Instance g(GLIMM_VST3_BUNDLE);
  if (!g.ready() || !g.activate(kRate, kBlock)) return {};
  constexpr v3_param_id kBend = 0x10000, kAllOff = 0x10001;
  auto forge = [&](long b, std::mt19937& rng) {
    if (b % 20 == 0) g.params.set(rng() % 4, (rng() % 256) / 255.0);
    if (b % 40 == 10) g.params.set(kBend, (rng() % 128) / 127.0);
    if (b % 100 == 50) g.events.note(true, int(48 + rng() % 24), 0.8f, int32_t(rng() % kBlock));
    if (b % 100 == 90) g.events.note(false, 60, 0, 0);
    if (b % 600 == 300) g.params.set(kGlimmParam_SingMode, rng() % 2);
    if (b % 900 == 899) g.params.set(kAllOff, 1);
    return long(g.events.events.size() + g.params.queues.size());
  };
  return play(g, seconds, forge, [&] {
    g.events.events.clear();
    g.params.queues.clear();
  });
}

}  // namespace

// 20 s of a format's process(): nothing flagged, every block run, every
// state loaded, and sound heard.
void checkFormatRun(const FormatOutcome& o) {
  QVERIFY2(glimm_rtcheck_count(-1) == 0, qPrintable(violations()));
  QCOMPARE(o.blocks, long(20.0 * kRate / kBlock));
  QVERIFY(o.loads > 3 && o.loaded == o.loads && o.events > 0);
  QVERIFY2(o.peak > 0.05f && o.heardBlocks > o.blocks / 10,
           qPrintable(QString("peak %1, %2 of %3 blocks heard").arg(o.peak).arg(o.heardBlocks).arg(o.blocks)));
}

class TestRealtime : public QObject {
  Q_OBJECT

  harness::LoadedUnit m_loaded;
  AudioUnit m_unit = nullptr;

 private slots:
  void initTestCase() {
    QVERIFY2(glimm_rtcheck_active(), "the interposer is not in use: run with LD_PRELOAD=librtcheck.so");
    QVERIFY2(m_loaded.load(GLIMM_SPEECH_UNIT_PATH, kRate), m_loaded.error.c_str());
    m_unit = m_loaded.unit;
  }

  void init() { glimm_rtcheck_reset(); }

  // Calls inside a window count, on that thread only; calls outside do not.
  void interposerSeesWhatItShould() {
    {
      Window w;
      void* volatile p = std::malloc(64);
      std::free(p);
      int* volatile q = new int[4];
      delete[] q;
    }
    QCOMPARE(glimm_rtcheck_count(kGlimmRtAlloc), 4L);
    std::mutex m;
    {
      Window w;
      std::lock_guard<std::mutex> lock(m);
    }
    QCOMPARE(glimm_rtcheck_count(kGlimmRtLock), 1L);
    ssize_t written;
    {
      Window w;
      written = write(-1, "x", 1);
      std::this_thread::sleep_for(std::chrono::microseconds(1));
    }
    QCOMPARE(written, ssize_t(-1));
    QCOMPARE(glimm_rtcheck_count(kGlimmRtSyscall), 2L);
    glimm_rtcheck_reset();
    void* volatile p = std::malloc(64);
    std::free(p);
    std::thread other([] {
      void* volatile q = std::malloc(64);
      std::free(q);
    });
    {
      Window w;
      other.join();  // joining waits: one lock-kind call, nothing from the other thread
    }
    QCOMPARE(glimm_rtcheck_count(kGlimmRtLock), 1L);
    QCOMPARE(glimm_rtcheck_count(-1), 1L);
  }

  void audioUnitRenderIsRealTimeSafe() {
    const AuOutcome o = driveAudioUnit(m_unit, 30.0, plainRender);
    QVERIFY2(glimm_rtcheck_count(-1) == 0, qPrintable(violations()));
    QCOMPARE(o.blocks, long(30.0 * kRate / kBlock));
    QCOMPARE(o.renderErrors, 0L);
    QVERIFY(o.notes > 30 && o.automations > 100);
    // It spoke and sang for a good part of the time.
    QVERIFY2(o.peak > 0.05f && o.heardBlocks > o.blocks / 5,
             qPrintable(QString("peak %1, %2 of %3 blocks heard").arg(o.peak).arg(o.heardBlocks).arg(o.blocks)));
  }

  // The documented exception: after half a second without a render call the
  // engine's worker sleeps, and the first post from the render thread (here
  // an automated parameter) wakes it with one write. Then none again.
  void pauseCostsOneWake() {
    std::vector<float> left(kBlock), right(kBlock);
    harness::StereoList stereo;
    float value = 100;
    std::thread audio([&] {
      auto block = [&](bool automate) {
        AudioBufferList* list = stereo.over(left, right, kBlock);
        AudioUnitRenderActionFlags flags = 0;
        Window w;
        if (automate) AudioUnitSetParameter(m_unit, kGlimmParam_Mouth, kAudioUnitScope_Global, 0, value++, 0);
        plainRender(m_unit, &flags, kBlock, list);
      };
      for (int i = 0; i < 100; ++i) {
        block(i % 10 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(900));
      glimm_rtcheck_reset();
      for (int i = 0; i < 300; ++i) {
        block(i % 10 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
    });
    audio.join();
    QVERIFY2(glimm_rtcheck_count(kGlimmRtSyscall) == 1 && glimm_rtcheck_count(-1) == 1, qPrintable(violations()));
    const char* fn = nullptr;
    void* caller = nullptr;
    QVERIFY(glimm_rtcheck_event(0, &fn, &caller));
    QCOMPARE(QString(fn), QString("write"));
  }

  // The same drive through a render that allocates, or locks, is caught.
  void allocatingOrLockingRenderFails() {
    const AuRender allocating = [](AudioUnit u, AudioUnitRenderActionFlags* f, UInt32 n, AudioBufferList* l) {
      std::vector<float> scratch(n);
      return plainRender(u, f, n, l);
    };
    driveAudioUnit(m_unit, 0.5, allocating);
    QVERIFY(glimm_rtcheck_count(kGlimmRtAlloc) >= long(0.5 * kRate / kBlock));
    glimm_rtcheck_reset();
    std::mutex m;
    const AuRender locking = [&m](AudioUnit u, AudioUnitRenderActionFlags* f, UInt32 n, AudioBufferList* l) {
      std::lock_guard<std::mutex> lock(m);
      return plainRender(u, f, n, l);
    };
    driveAudioUnit(m_unit, 0.5, locking);
    QVERIFY(glimm_rtcheck_count(kGlimmRtLock) >= long(0.5 * kRate / kBlock));
    QCOMPARE(glimm_rtcheck_count(kGlimmRtAlloc), 0L);
  }

  void lv2RunIsRealTimeSafe() {
    QVERIFY(lv2host::world().plugin);
    const Lv2Outcome o = driveLv2(lv2host::world().plugin, 30.0, false);
    QVERIFY2(glimm_rtcheck_count(-1) == 0, qPrintable(violations()));
    QCOMPARE(o.blocks, long(30.0 * kRate / kBlock));
    QCOMPARE(o.refused, 0L);
    QCOMPARE(o.logLines, 0L);
    // Every text and speak request is worked; a note that came while one of
    // them waited is queued behind it through the worker too.
    QVERIFY2(o.worked >= o.texts + o.speaks && o.worked <= o.texts + o.speaks + o.notes,
             qPrintable(QString("%1 jobs worked for %2 texts, %3 speaks, %4 notes")
                            .arg(o.worked)
                            .arg(o.texts)
                            .arg(o.speaks)
                            .arg(o.notes)));
    QVERIFY2(o.peak > 0.05f && o.heardBlocks > o.blocks / 5,
             qPrintable(QString("peak %1, %2 of %3 blocks heard").arg(o.peak).arg(o.heardBlocks).arg(o.blocks)));
  }

  void clapProcessIsRealTimeSafe() { checkFormatRun(driveClap(20.0)); }
  void vst3ProcessIsRealTimeSafe() { checkFormatRun(driveVst3(20.0)); }

  // A host whose work:schedule locks is measured too: run() calls it.
  void lockingScheduleIsCaught() {
    QVERIFY(lv2host::world().plugin);
    driveLv2(lv2host::world().plugin, 2.0, true);
    QVERIFY(glimm_rtcheck_count(kGlimmRtLock) > 0);
    QVERIFY(glimm_rtcheck_count(kGlimmRtAlloc) > 0);
  }
};

QTEST_GUILESS_MAIN(TestRealtime)
#include "tst_realtime.moc"
