// Glimm's LV2 plug-in driven through lilv, the way a host drives it: found in
// the build tree's bundle, instantiated with urid:map, log and a threaded
// worker, fed atoms built with the forge, heard through its audio port.
#include "GlimmLv2.h"
#include "Lv2TestHost.h"
#include "PluginState.h"
#include "SpeechAnalysis.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <QtTest>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 512;
constexpr uint32_t kAtomCapacity = 8192;

using lv2host::urid;
using lv2host::urids;
using lv2host::world;

// ---- host services ----------------------------------------------------------

struct Log {
  std::mutex mutex;
  std::vector<std::pair<LV2_URID, std::string>> lines;
  LV2_Log_Log log{this, lv2host::logPrintf<vprintfLine>, vprintfLine};

  static int vprintfLine(LV2_Log_Handle h, LV2_URID type, const char* fmt, va_list ap) {
    char buf[512];
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    auto* self = static_cast<Log*>(h);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lines.emplace_back(type, buf);
    return n;
  }
  int warnings() {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto& l : lines) n += l.first == urid(LV2_LOG__Warning);
    return n;
  }
};

// The worker runs on a thread of its own, as in a real host; drain() waits
// until everything scheduled so far has been worked.
class Worker {
 public:
  LV2_Worker_Schedule schedule{this, scheduleWork};
  bool refuse = false;  // a full ring, as a busy host has

  void attach(LilvInstance* instance) {
    m_instance = instance;
    m_iface =
        static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
    m_thread = std::thread([this] { loop(); });
  }
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_quit = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }
  bool hasInterface() const { return m_iface && m_iface->work; }
  // A busy worker: jobs wait until release().
  void hold() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = true;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_held = false;
    }
    m_cv.notify_all();
  }
  void drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
  }
  int failures() const { return m_failures; }
  // Hands the worker's answers to the plug-in, as a host does between runs.
  void deliverResponses() {
    std::vector<std::vector<uint8_t>> answers;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      answers.swap(m_responses);
    }
    for (const auto& a : answers)
      if (m_iface->work_response)
        m_iface->work_response(lilv_instance_get_handle(m_instance), uint32_t(a.size()), a.data());
  }

 private:
  static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
    auto* self = static_cast<Worker*>(h);
    if (self->refuse) return LV2_WORKER_ERR_NO_SPACE;
    {
      std::lock_guard<std::mutex> lock(self->m_mutex);
      const auto* p = static_cast<const uint8_t*>(data);
      self->m_jobs.emplace_back(p, p + size);
    }
    self->m_cv.notify_all();
    return LV2_WORKER_SUCCESS;
  }
  static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
    auto* self = static_cast<Worker*>(h);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    const auto* p = static_cast<const uint8_t*>(data);
    self->m_responses.emplace_back(p, p + size);
    return LV2_WORKER_SUCCESS;
  }

  void loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_cv.wait(lock, [this] { return m_quit || (!m_jobs.empty() && !m_held); });
      if (m_quit) return;
      std::vector<uint8_t> job = std::move(m_jobs.front());
      m_jobs.pop_front();
      m_busy = true;
      lock.unlock();
      const LV2_Worker_Status s =
          m_iface->work(lilv_instance_get_handle(m_instance), respond, this, uint32_t(job.size()), job.data());
      lock.lock();
      if (s != LV2_WORKER_SUCCESS) ++m_failures;
      m_busy = false;
      m_idle.notify_all();
    }
  }

  LilvInstance* m_instance = nullptr;
  const LV2_Worker_Interface* m_iface = nullptr;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_cv, m_idle;
  std::deque<std::vector<uint8_t>> m_jobs;
  std::vector<std::vector<uint8_t>> m_responses;
  bool m_busy = false, m_quit = false, m_held = false;
  int m_failures = 0;
};

// ---- one plug-in instance with its buffers ----------------------------------

class Instance : public lv2host::Ports<kAtomCapacity>, public lv2host::SequenceWriter {
 public:
  Log log;
  std::unique_ptr<Worker> worker = std::make_unique<Worker>();
  uint32_t notifyCapacity = kAtomCapacity;
  // Every text and every voice the plug-in announced on its notify port, oldest first.
  std::vector<std::string> announced, announcedVoices;

  explicit Instance(bool withWorker = true, bool withLog = true, double sampleRate = kRate)
      : Ports(16384),
        rate(sampleRate),
        m_features(withLog ? &log.log : nullptr, withWorker ? &worker->schedule : nullptr) {
    instance = lilv_plugin_instantiate(world().plugin, rate, m_features.get());
    if (!instance) return;
    worker->attach(instance);
    connectAll();
    beginEvents();
    lilv_instance_activate(instance);
  }
  ~Instance() {
    if (!instance) return;
    lilv_instance_deactivate(instance);
    worker.reset();  // its thread must be gone before the instance is
    lilv_instance_free(instance);
  }

  void connectAll() { connect(lv2host::lilvConnect(instance)); }

  // ---- the control port's next sequence
  void beginEvents() { begin(control->bytes, kAtomCapacity); }
  void setText(const std::string& text) { setString(urid(GLIMM_LV2_TEXT_URI), text); }
  void speak() {
    const int32_t yes = 1;
    set(urid(GLIMM_LV2_SPEAK_URI), urid(LV2_ATOM__Bool), &yes, sizeof yes);
  }
  void setVoice(const std::string& name) { setString(urid(GLIMM_LV2_VOICE_URI), name); }

  // Runs one cycle with what was queued, then starts an empty sequence.
  void run(uint32_t frames) {
    end();
    notify->offer(notifyCapacity);
    worker->deliverResponses();
    lilv_instance_run(instance, frames);
    readNotify();
    beginEvents();
  }

  // Renders `seconds`, pacing itself so the engine keeps ahead.
  std::vector<float> render(double seconds) {
    std::vector<float> all;
    const size_t total = size_t(seconds * rate);
    while (all.size() < total) {
      run(kBlock);
      all.insert(all.end(), out.begin(), out.begin() + kBlock);
      if ((all.size() / kBlock) % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return all;
  }

  // The value the plug-in answers to a patch:Get of `uri`, as it lands in
  // `answers`, or nothing if it stays quiet.
  std::optional<std::string> ask(const char* uri, const std::vector<std::string>& answers) {
    const size_t before = answers.size();
    get(urid(uri));
    run(kBlock);
    if (answers.size() != before + 1) return std::nullopt;
    return answers.back();
  }
  std::optional<std::string> askText() { return ask(GLIMM_LV2_TEXT_URI, announced); }
  std::optional<std::string> askVoice() { return ask(GLIMM_LV2_VOICE_URI, announcedVoices); }

  const LV2_State_Interface* state() const {
    return static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(instance, LV2_STATE__interface));
  }

  const double rate;
  LilvInstance* instance = nullptr;

 private:
  void readNotify() {
    const LV2_Atom_Sequence* seq = notify->seq();
    QVERIFY(seq->atom.size <= notifyCapacity - sizeof(LV2_Atom));
    if (seq->atom.size == 0) return;
    QCOMPARE(seq->atom.type, urid(LV2_ATOM__Sequence));
    LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
      QCOMPARE(ev->body.type, urid(LV2_ATOM__Object));
      const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(&ev->body);
      QCOMPARE(obj->body.otype, urid(LV2_PATCH__Set));
      const LV2_Atom* property = nullptr;
      const LV2_Atom* value = nullptr;
      lv2_atom_object_get(obj, urid(LV2_PATCH__property), &property, urid(LV2_PATCH__value), &value, 0);
      QVERIFY(property && value);
      QCOMPARE(property->type, urid(LV2_ATOM__URID));
      const LV2_URID key = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
      QVERIFY(key == urid(GLIMM_LV2_TEXT_URI) || key == urid(GLIMM_LV2_VOICE_URI));
      QCOMPARE(value->type, urid(LV2_ATOM__String));
      const char* s = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
      QVERIFY(value->size >= 1 && s[value->size - 1] == 0);
      // atom:String counts its one NUL; a host shows any other byte as a character.
      QCOMPARE(size_t(value->size), std::strlen(s) + 1);
      (key == urid(GLIMM_LV2_TEXT_URI) ? announced : announcedVoices).emplace_back(s);
    }
  }

  lv2host::Features m_features;
};

// Sets the text and waits until the worker has handed it to the voice.
void giveText(Instance& in, const std::string& text) {
  in.setText(text);
  in.run(kBlock);
  in.worker->drain();
}

// The text the voice itself holds, as its state saves it.
std::string savedText(Instance& in) {
  std::string text = "<nothing saved>";
  in.state()->save(
      lilv_instance_get_handle(in.instance),
      [](LV2_State_Handle h, uint32_t key, const void* value, size_t size, uint32_t type, uint32_t) {
        if (key == urid(GLIMM_LV2_TEXT_URI) && type == urid(LV2_ATOM__String) && size > 0)
          *static_cast<std::string*>(h) = std::string(static_cast<const char*>(value), size - 1);
        return LV2_STATE_SUCCESS;
      },
      &text, 0, nullptr);
  return text;
}

std::vector<float> speakAndRecord(Instance& in, double seconds) {
  in.speak();
  in.run(kBlock);
  in.worker->drain();
  return in.render(seconds);
}

// Sets the voice and waits until the worker's answer has been announced.
void giveVoice(Instance& in, const std::string& name) {
  in.setVoice(name);
  in.run(kBlock);
  in.worker->drain();
  in.run(kBlock);
}

// A state of one property, handed to restore() exactly as given.
struct FakeState {
  const void* value;
  size_t size;
  LV2_URID type;
  LV2_URID key = urid(GLIMM_LV2_TEXT_URI);
  static const void* retrieve(LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) {
    auto* s = static_cast<FakeState*>(h);
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    if (key != s->key || !s->value) return nullptr;
    *size = s->size;
    *type = s->type;
    return s->value;
  }
};

// Bytes on the heap exactly `size` long, so reading past them is a fault the
// sanitizer build reports.
std::unique_ptr<char[]> exact(const std::string& bytes) {
  std::unique_ptr<char[]> p(new char[bytes.size()]);
  std::memcpy(p.get(), bytes.data(), bytes.size());
  return p;
}

}  // namespace

class TestLv2 : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QVERIFY2(world().plugin, "urn:glimm:speech not found under " GLIMM_LV2_BUILD_PATH); }

  // What hosts read from the bundle matches the parameter table.
  void describesItself() {
    const LilvPlugin* p = world().plugin;
    LilvWorld* w = world().world;
    const std::string bundle = lilv_node_as_uri(lilv_plugin_get_bundle_uri(p));
    QVERIFY2(bundle.find(GLIMM_LV2_BUILD_PATH) != std::string::npos, bundle.c_str());
    QCOMPARE(lilv_plugin_get_num_ports(p), kGlimmPortCount);
    LilvNode* name = lilv_plugin_get_name(p);
    QCOMPARE(QString(lilv_node_as_string(name)), QString("Glimm"));
    lilv_node_free(name);
    // Hosts show an author: the project's maintainer.
    LilvNode* author = lilv_plugin_get_author_name(p);
    QVERIFY(author && QString(lilv_node_as_string(author)).size() > 0);
    lilv_node_free(author);
    QCOMPARE(lilv_plugin_get_latency_port_index(p), kGlimmPortLatency);

    std::vector<float> mins(kGlimmPortCount), maxs(mins.size()), defs(mins.size());
    lilv_plugin_get_port_ranges_float(p, mins.data(), maxs.data(), defs.data());
    LilvNode* integer = lilv_new_uri(w, LV2_CORE__integer);
    LilvNode* toggled = lilv_new_uri(w, LV2_CORE__toggled);
    LilvNode* control = lilv_new_uri(w, LV2_CORE__ControlPort);
    for (const GlimmParameterFacts& f : kGlimmParameters) {
      const uint32_t i = glimmParameterPort(f.index);
      const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
      QVERIFY(lilv_port_is_a(p, port, control));
      QCOMPARE(QString(lilv_node_as_string(lilv_port_get_symbol(p, port))), QString(f.symbol));
      QCOMPARE(mins[i], f.minimum);
      QCOMPARE(maxs[i], f.maximum);
      QCOMPARE(defs[i], f.defaultValue);
      QCOMPARE(lilv_port_has_property(p, port, integer), f.integer);
      QCOMPARE(lilv_port_has_property(p, port, toggled), f.toggle);
    }
    // The host's free-wheeling switch, after the parameters.
    const LilvPort* freeWheel = lilv_plugin_get_port_by_index(p, kGlimmPortFreeWheel);
    LilvNode* designation = lilv_new_uri(w, LV2_CORE__freeWheeling);
    LilvNode* optional = lilv_new_uri(w, LV2_CORE__connectionOptional);
    QVERIFY(lilv_port_is_a(p, freeWheel, control));
    QCOMPARE(lilv_plugin_get_port_by_designation(p, nullptr, designation), freeWheel);
    QVERIFY(lilv_port_has_property(p, freeWheel, toggled));
    QVERIFY(lilv_port_has_property(p, freeWheel, optional));
    QCOMPARE(defs[kGlimmPortFreeWheel], 0.0f);
    lilv_node_free(designation);
    lilv_node_free(optional);
    lilv_node_free(integer);
    lilv_node_free(toggled);
    lilv_node_free(control);

    LilvNodes* required = lilv_plugin_get_required_features(p);
    QCOMPARE(lilv_nodes_size(required), 2u);
    lilv_nodes_free(required);
    LilvNode* state = lilv_new_uri(w, LV2_STATE__interface);
    QVERIFY(lilv_plugin_has_extension_data(p, state));
    lilv_node_free(state);

    LilvNode* preset = lilv_new_uri(w, "http://lv2plug.in/ns/ext/presets#Preset");
    LilvNodes* presets = lilv_plugin_get_related(p, preset);
    QVERIFY(lilv_nodes_size(presets) >= 4);
    lilv_nodes_free(presets);
    lilv_node_free(preset);
  }

  // Refuses to start without the worker it depends on; no fault either way.
  void needsTheWorker() {
    Instance without(false, true);
    QVERIFY(!without.instance);
    QVERIFY(without.log.lines.size() >= 1);
    Instance quiet(false, false);
    QVERIFY(!quiet.instance);
  }

  void silentUntilAsked() {
    Instance in;
    QVERIFY(in.instance);
    QVERIFY(in.worker->hasInterface());
    const std::vector<float> audio = in.render(1.0);
    QCOMPARE(analysis::peak(audio), 0.0);
    // A note outside sing mode speaks the text: a new instance's own at first.
    in.midi(0x90, 60, 100);
    in.run(kBlock);
    QVERIFY(analysis::peak(in.render(4.0)) > 0.05);
  }

  void speaksTextOnRequest() {
    Instance in;
    QVERIFY(in.askText() == std::string(glimm::state::kDefaultText));
    giveText(in, "Hello, this is Glimm speaking.");
    QVERIFY(!in.announced.empty());
    QCOMPARE(QString::fromStdString(in.announced.back()), QString("Hello, this is Glimm speaking."));
    const std::vector<float> audio = speakAndRecord(in, 4.0);
    QVERIFY2(analysis::peak(audio) > 0.05, qPrintable(QString::number(analysis::peak(audio))));
    QVERIFY(analysis::activeSeconds(audio, kRate) > 0.5);
    QCOMPARE(in.worker->failures(), 0);
    QCOMPARE(in.log.warnings(), 0);
  }

  // In sing mode a note-on sings the text on that note.
  void singsOnNoteOn() {
    Instance in;
    in.params[kGlimmParam_SingMode] = 1;
    giveText(in, "la la la la");
    in.midi(0x90, 57, 100);  // A3, 220 Hz
    in.run(kBlock);
    const std::vector<float> audio = in.render(4.0);
    QVERIFY(analysis::peak(audio) > 0.05);
    const double f0 = analysis::medianF0(audio, kRate);
    QVERIFY2(std::fabs(analysis::cents(f0, 220.0)) < 50, qPrintable(QString::number(f0)));
  }

  // A text change and a note in one cycle take effect in that order, even
  // while the worker is slow to take the text; a note with nothing queued
  // before it does not wait for the worker.
  void eventsKeepTheirOrder() {
    Instance in;
    in.params[kGlimmParam_SingMode] = 1;
    giveText(in, "This old text is a long sentence that takes the voice a good while to say.");
    in.worker->hold();
    in.setText("la");
    in.midi(0x90, 57, 100);
    in.run(kBlock);
    std::vector<float> audio = in.render(0.5);  // the worker has not run yet
    in.worker->release();
    in.worker->drain();
    std::vector<float> rest = in.render(0.3);
    // The key goes up once its syllable sounds: a key released before its
    // sound never sounds, and the sanitizer build may not have it ready yet.
    for (int i = 0; i < 400 && analysis::activeSeconds(rest, kRate) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::vector<float> more = in.render(0.05);
      rest.insert(rest.end(), more.begin(), more.end());
    }
    in.midi(0x80, 57, 0);
    const std::vector<float> end = in.render(6.0);
    rest.insert(rest.end(), end.begin(), end.end());
    audio.insert(audio.end(), rest.begin(), rest.end());
    const double sung = analysis::activeSeconds(audio, kRate);
    QVERIFY2(sung > 0.05 && sung < 1.5, qPrintable(QString("%1 s sung").arg(sung)));
    QCOMPARE(QString::fromStdString(savedText(in)), QString("la"));

    in.worker->hold();
    in.midi(0x90, 57, 100);
    in.run(kBlock);
    // The voice's own worker synthesises it while the host's stays held for
    // the whole wait: any sound at all means the note did not queue behind it.
    double direct = 0;
    for (int i = 0; i < 40 && direct <= 0.05; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      direct += analysis::activeSeconds(in.render(0.25), kRate);
    }
    in.worker->release();
    QVERIFY2(direct > 0.05, "a note with nothing queued waited for the worker");
  }

  // A state restored while a text from before it waits for the worker wins;
  // texts sent after the restore are taken as usual.
  void restoreWinsOverQueuedText() {
    Instance in;
    giveText(in, "before");
    in.worker->hold();
    in.setText("queued before the restore");
    in.run(kBlock);
    const std::string restored = std::string("restored") + '\0';
    FakeState st{restored.data(), restored.size(), urid(LV2_ATOM__String)};
    QCOMPARE(in.state()->restore(lilv_instance_get_handle(in.instance), FakeState::retrieve, &st, 0, nullptr),
             LV2_STATE_SUCCESS);
    in.worker->release();
    in.worker->drain();
    QCOMPARE(QString::fromStdString(savedText(in)), QString("restored"));
    QCOMPARE(QString::fromStdString(in.askText().value_or("<none>")), QString("restored"));
    giveText(in, "after");
    QCOMPARE(QString::fromStdString(savedText(in)), QString("after"));
    QCOMPARE(in.worker->failures(), 0);
  }

  // Rendered as fast as the host can, back to back: free-wheeling, run()
  // waits for the worker, so each syllable starts exactly one block (the
  // latency) after its note and holds until its release; otherwise run() never waits, and words whose
  // synthesis the host outran start late or not at all.
  // The latency output says how long after its event a sound starts: one
  // 256-frame block at 48 kHz, or the host's block once it is longer. Measured
  // from the audio, offline so that every sound is on its frame.
  void reportsItsLatency() {
    for (const uint32_t block : {kBlock, 4 * kBlock}) {
      Instance in;
      in.freeWheel = 1;
      in.params[kGlimmParam_SingMode] = 1;
      giveText(in, "la la");
      in.run(block);
      QCOMPARE(in.latency, float(block));
      std::vector<float> audio;
      in.midi(0x90, 60, 127, 10);
      for (int n = 0; n < 20; ++n) {
        in.run(block);
        audio.insert(audio.end(), in.out.begin(), in.out.begin() + block);
      }
      QCOMPARE(analysis::firstSound(audio, 1e-3), long(10 + in.latency));
    }
  }

  void freeWheeling() {
    for (const bool offline : {true, false}) {
      Instance in;
      in.params[kGlimmParam_SingMode] = 1;
      giveText(in, "seventeen, everybody, la");
      in.freeWheel = offline ? 1 : 0;
      std::vector<float> audio;
      auto runFor = [&](double seconds) {
        for (size_t n = 0; n < size_t(seconds * kRate / kBlock); ++n) {
          in.run(kBlock);
          audio.insert(audio.end(), in.out.begin(), in.out.begin() + kBlock);
        }
      };
      QStringList starts;
      int onTime = 0, held = 0;
      const uint32_t offsets[] = {0, 100, 333, 511, 7};
      for (size_t n = 0; n < std::size(offsets); ++n) {
        const size_t at = audio.size() + offsets[n];
        const uint8_t note = uint8_t(60 + 2 * n);
        in.midi(0x90, note, 127, offsets[n]);
        runFor(0.5);
        in.midi(0x80, note, 0, 0);
        runFor(0.2);
        const std::vector<float> part(audio.begin() + long(at), audio.end());
        const long first = analysis::firstSound(part, 1e-3);
        starts << QString::number(first);
        onTime += first >= long(kBlock) - 2 && first <= long(kBlock) + 2;
        // The syllable's vowel holds while the key is down: sound in at
        // least 90 % of the key's 10-ms frames (from its latency on).
        int frames = 0, loud = 0;
        for (size_t f = at + kBlock; f + kRate / 100 <= at + kBlock + size_t(kRate / 2); f += kRate / 100, ++frames)
          loud += analysis::rms(&audio[f], kRate / 100) > 0.01;
        held += loud >= frames * 9 / 10;
      }
      if (offline)
        QVERIFY2(onTime == int(std::size(offsets)) && held == int(std::size(offsets)),
                 qPrintable(QString("free-wheeling: %1 (%2 held)").arg(starts.join(' ')).arg(held)));
      else
        QVERIFY2(onTime < int(std::size(offsets)), qPrintable("real time, waited: " + starts.join(' ')));
    }
  }

  // Spoken offline, a sentence comes out whole and the same every time: the
  // worker streams it into the ring while run() plays it, and run() waits
  // wherever the worker has not got that far, instead of leaving a gap.
  void freeWheelingSpeechIsWhole() {
    std::vector<float> takes[2];
    for (std::vector<float>& audio : takes) {
      Instance in;
      giveText(in, "Offline rendering never waits for the clock, only for the voice.");
      in.freeWheel = 1;
      in.midi(0x90, 60, 127, 200);
      for (size_t n = 0; n < size_t(5 * kRate / kBlock); ++n) {
        in.run(kBlock);
        audio.insert(audio.end(), in.out.begin(), in.out.begin() + kBlock);
      }
      const long first = analysis::firstSound(audio, 1e-4);
      QVERIFY2(first >= 200 + long(kBlock) && first < 200 + long(kBlock) + long(kRate / 50),
               qPrintable(QString::number(first)));
      QVERIFY(analysis::activeSeconds(audio, kRate) > 2.0);
    }
    // Equally long (the voice's noise is random, its timing is not): a gap
    // in either would push its end later.
    auto end = [](const std::vector<float>& x) {
      long last = long(x.size()) - 1;
      while (last > 0 && std::fabs(x[size_t(last)]) <= 1e-4f) --last;
      return last;
    };
    QVERIFY2(std::labs(end(takes[0]) - end(takes[1])) <= long(kRate / 1000),
             qPrintable(QString("%1 against %2").arg(end(takes[0])).arg(end(takes[1]))));
  }

  // Played from a keyboard: each note sings the next word on its pitch, at a
  // fixed time after its frame; its note-off ends it; the filter port
  // band-limits the voice.
  void playedFromAKeyboard() {
    Instance in;
    in.params[kGlimmParam_SingMode] = 1;
    giveText(in, "seventeen, la");
    std::vector<float> audio;
    const int notes[] = {64, 71};
    std::vector<size_t> onsets;
    for (int n = 0; n < 2; ++n) {
      const uint32_t offset = n == 0 ? 100 : 400;
      onsets.push_back(audio.size() + offset);
      in.midi(0x90, uint8_t(notes[n]), 127, offset);
      in.midi(0x80, uint8_t(notes[n]), 0, offset + 1);  // released at once: a short sound
      in.run(kBlock);
      audio.insert(audio.end(), in.out.begin(), in.out.begin() + kBlock);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      const auto rest = in.render(0.5);
      audio.insert(audio.end(), rest.begin(), rest.end());
    }
    for (size_t n = 0; n < onsets.size(); ++n) {
      const size_t at = onsets[n];
      const std::vector<float> part(audio.begin() + long(at), audio.begin() + long(at) + long(kRate / 2));
      long last = long(part.size()) - 1;
      while (last > 0 && std::fabs(part[size_t(last)]) <= 1e-3f) --last;
      const long first = analysis::firstSound(part, 1e-3);
      // A syllable released at once sounds its onset and a shortened vowel.
      QVERIFY2(first >= long(kBlock) - 2 && last - first < long(kRate / 4),
               qPrintable(QString("%1..%2").arg(first).arg(last)));
    }

    // Held: the word sounds one block (the host's, here longer than the
    // unit's own minimum) after its event, on its note, until released.
    audio.clear();
    for (int n = 0; n < 2; ++n) {
      const uint32_t offset = n == 0 ? 100 : 400;
      const size_t at = audio.size() + offset;
      in.midi(0x90, uint8_t(notes[n]), 127, offset);
      in.run(kBlock);
      audio.insert(audio.end(), in.out.begin(), in.out.begin() + kBlock);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      auto rest = in.render(0.4);
      in.midi(0x80, uint8_t(notes[n]), 0, 0);
      const auto tail = in.render(0.3);
      rest.insert(rest.end(), tail.begin(), tail.end());
      audio.insert(audio.end(), rest.begin(), rest.end());
      const std::vector<float> part(audio.begin() + long(at), audio.end());
      const long first = analysis::firstSound(part, 1e-3);
      QVERIFY2(first >= long(kBlock) - 2 && first <= long(kBlock),
               qPrintable(QString("note %1: %2 frames").arg(n).arg(first)));
      const double f0 = analysis::medianF0(part, kRate, 60, 1200);
      const double want = 440.0 * std::pow(2.0, (notes[n] - 69) / 12.0);
      QVERIFY2(std::fabs(analysis::cents(f0, want)) <= 15, qPrintable(QString("note %1: %2 Hz").arg(n).arg(f0)));
      // Silent once the syllable's vowel and final consonants have followed
      // the release.
      const size_t released = audio.size() - tail.size() + kBlock + size_t(kRate * 0.25);
      double after = 0;
      size_t lastSound = 0;
      for (size_t i = released; i < audio.size(); ++i) {
        after = std::max(after, double(std::fabs(audio[i])));
        if (audio[i] != 0) lastSound = i;
      }
      QVERIFY2(after == 0.0,
               qPrintable(QString("note %1: %2 until %3 ms after the release")
                              .arg(n)
                              .arg(after)
                              .arg((double(lastSound) - double(audio.size() - tail.size() + kBlock)) * 1000 / kRate)));
    }

    // Speech through the filter loses its top octaves.
    Instance plain, filtered;
    filtered.params[kGlimmParam_Filter] = 1;
    double high[2];
    Instance* both[2] = {&plain, &filtered};
    for (int i = 0; i < 2; ++i) {
      giveText(*both[i], "She sells sea shells by the sea shore.");
      high[i] = analysis::highBandDb(speakAndRecord(*both[i], 3.0), kRate, 5000);
    }
    QVERIFY2(high[1] < high[0] - 20, qPrintable(QString("%1 -> %2 dB").arg(high[0]).arg(high[1])));
  }

  void parametersShapeTheVoice() {
    const std::string text = "The quick brown fox jumps over the lazy dog.";
    double length[2], f0[2];
    const float speeds[2] = {20, 200};
    const float pitches[2] = {0, 255};
    for (int i = 0; i < 2; ++i) {
      Instance in;
      in.params[kGlimmParam_Speed] = speeds[i];
      giveText(in, text);
      length[i] = analysis::activeSeconds(speakAndRecord(in, 12.0), kRate);
    }
    for (int i = 0; i < 2; ++i) {
      Instance in;
      in.params[kGlimmParam_Pitch] = pitches[i];
      giveText(in, text);
      const std::vector<float> audio = speakAndRecord(in, 5.0);
      f0[i] = analysis::medianF0(audio, kRate);
    }
    const QString facts = QString("length %1/%2 s, f0 %3/%4 Hz").arg(length[0]).arg(length[1]).arg(f0[0]).arg(f0[1]);
    QVERIFY2(length[1] > 0.5 && length[0] > 2 * length[1], qPrintable(facts));
    QVERIFY2(f0[0] > 0 && f0[1] > 1.5 * f0[0], qPrintable(facts));
  }

  // save, a trip through Turtle, restore into a new instance: the same text.
  void stateRoundTrip() {
    const std::string text = "Grüße aus Köln – Glimm €5";
    LilvWorld* w = world().world;
    char* ttl = nullptr;
    {
      Instance a;
      giveText(a, text);
      giveVoice(a, "Russian");
      QCOMPARE(QString::fromStdString(a.askVoice().value_or("<none>")), QString("ru"));
      LilvState* st = lilv_state_new_from_instance(world().plugin, a.instance, &urids().map, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr, 0, nullptr);
      QVERIFY(st);
      ttl = lilv_state_to_string(w, &urids().map, &urids().unmap, st, "urn:glimm:test-state", nullptr);
      lilv_state_free(st);
    }
    QVERIFY(ttl);
    QVERIFY2(std::strstr(ttl, "\"ru\"") && std::strstr(ttl, GLIMM_LV2_VOICE_URI), ttl);
    LilvState* loaded = lilv_state_new_from_string(w, &urids().map, ttl);
    lilv_free(ttl);
    QVERIFY(loaded);
    Instance b;
    lilv_state_restore(loaded, b.instance, nullptr, nullptr, 0, nullptr);
    lilv_state_free(loaded);
    b.run(kBlock);
    QVERIFY(!b.announced.empty());
    QCOMPARE(QString::fromStdString(b.announced.back()), QString::fromStdString(text));
    QCOMPARE(QString::fromStdString(b.askText().value_or("<none>")), QString::fromStdString(text));
    QVERIFY(!b.announcedVoices.empty());
    QCOMPARE(QString::fromStdString(b.announcedVoices.front()), QString("ru"));
    QCOMPARE(QString::fromStdString(b.askVoice().value_or("<none>")), QString("ru"));
    // The voice has it too: asking to speak is heard.
    QVERIFY(analysis::peak(speakAndRecord(b, 4.0)) > 0.05);
  }

  // Every factory preset sets each port within its range and a text.
  void presetsLoad() {
    LilvWorld* w = world().world;
    LilvNode* presetClass = lilv_new_uri(w, "http://lv2plug.in/ns/ext/presets#Preset");
    LilvNodes* presets = lilv_plugin_get_related(world().plugin, presetClass);
    int count = 0;
    LILV_FOREACH(nodes, i, presets) {
      const LilvNode* uri = lilv_nodes_get(presets, i);
      lilv_world_load_resource(w, uri);
      LilvState* st = lilv_state_new_from_world(w, &urids().map, uri);
      QVERIFY2(st, lilv_node_as_uri(uri));
      Instance in;
      std::map<std::string, float> values;
      lilv_state_restore(
          st, in.instance,
          [](const char* symbol, void* user, const void* value, uint32_t size, uint32_t type) {
            if (type == urid(LV2_ATOM__Float) && size == sizeof(float))
              (*static_cast<std::map<std::string, float>*>(user))[symbol] = *static_cast<const float*>(value);
          },
          &values, 0, nullptr);
      lilv_state_free(st);
      QCOMPARE(int(values.size()), int(kGlimmParamCount));
      for (const GlimmParameterFacts& f : kGlimmParameters) {
        QVERIFY2(values.count(f.symbol), f.symbol);
        QVERIFY(values[f.symbol] >= f.minimum && values[f.symbol] <= f.maximum);
      }
      const std::string text = in.askText().value_or("");
      QVERIFY2(!text.empty(), lilv_node_as_uri(uri));
      ++count;
    }
    lilv_nodes_free(presets);
    lilv_node_free(presetClass);
    QVERIFY(count >= 4);
  }

  // Saved state that is not a short UTF-8 string changes nothing.
  void hostileStateRefused() {
    Instance in;
    const LV2_State_Interface* st = in.state();
    QVERIFY(st && st->restore);
    LV2_Handle h = lilv_instance_get_handle(in.instance);

    // A fresh instance restored from nothing keeps its default text; a saved
    // empty text is a text of its own and replaces it.
    FakeState none{nullptr, 0, 0};
    QCOMPARE(st->restore(h, FakeState::retrieve, &none, 0, nullptr), LV2_STATE_SUCCESS);
    QCOMPARE(QString::fromStdString(in.askText().value_or("<none>")), QString(glimm::state::kDefaultText));
    auto nul = exact(std::string(1, '\0'));
    FakeState empty{nul.get(), 1, urid(LV2_ATOM__String)};
    QCOMPARE(st->restore(h, FakeState::retrieve, &empty, 0, nullptr), LV2_STATE_SUCCESS);
    QCOMPARE(QString::fromStdString(in.askText().value_or("<none>")), QString());

    giveText(in, "keep me");
    const LV2_URID str = urid(LV2_ATOM__String);
    const std::string oversize = std::string(kGlimmTextMaxBytes + 1, 'a') + '\0';
    const std::string longest = std::string(kGlimmTextMaxBytes, 'b') + '\0';
    struct Case {
      const char* what;
      std::string bytes;
      LV2_URID type;
    } cases[] = {
        {"oversize", oversize, str},
        {"invalid UTF-8", std::string("caf\xC3\x28", 5) + '\0', str},
        {"overlong", std::string("\xC0\xAF", 2) + '\0', str},
        {"surrogate", std::string("\xED\xA0\x80", 3) + '\0', str},
        {"cut short", std::string("ab\xE2\x82", 4) + '\0', str},
        {"unterminated", "no terminator", str},
        {"wrong type", std::string("four", 4) + '\0', urid(LV2_ATOM__Int)},
        {"zero size", "", str},
    };
    const int warningsBefore = in.log.warnings();
    for (const Case& c : cases) {
      auto bytes = exact(c.bytes.empty() ? std::string("x") : c.bytes);
      FakeState s{bytes.get(), c.bytes.size(), c.type};
      QVERIFY2(st->restore(h, FakeState::retrieve, &s, 0, nullptr) != LV2_STATE_SUCCESS, c.what);
      QVERIFY2(in.askText() == std::string("keep me"), c.what);
    }
    QCOMPARE(in.log.warnings(), warningsBefore + int(std::size(cases)));
    QCOMPARE(in.worker->failures(), 0);

    // The longest acceptable text is taken whole.
    auto bytes = exact(longest);
    FakeState s{bytes.get(), longest.size(), str};
    QCOMPARE(st->restore(h, FakeState::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
    QVERIFY(in.askText() == longest.substr(0, kGlimmTextMaxBytes));
  }

  // The voice: English at first, set by any name the engine knows, kept as its
  // short name, an unknown or malformed one refused with a warning.
  void voiceParameter() {
    Instance in;
    QCOMPARE(QString::fromStdString(in.askVoice().value_or("<none>")), QString("en"));
    giveVoice(in, "German");
    QCOMPARE(QString::fromStdString(in.announcedVoices.back()), QString("de"));
    const int warningsBefore = in.log.warnings();
    giveVoice(in, "elvish");
    // The refusal is announced as the voice still in use, so a UI can show it.
    QCOMPARE(QString::fromStdString(in.announcedVoices.back()), QString("de"));
    QCOMPARE(in.log.warnings(), warningsBefore + 1);
    const size_t announcedBefore = in.announcedVoices.size();
    const int32_t number = 7;
    in.set(urid(GLIMM_LV2_VOICE_URI), urid(LV2_ATOM__Int), &number, sizeof number);
    in.set(urid(GLIMM_LV2_VOICE_URI), urid(LV2_ATOM__String), "de", 2);  // unterminated
    in.setVoice("");
    in.setVoice(std::string(kGlimmVoiceBufferSize, 'a'));
    in.run(kBlock);
    in.worker->drain();
    in.run(kBlock);
    QCOMPARE(in.log.warnings(), warningsBefore + 5);
    QCOMPARE(in.announcedVoices.size(), announcedBefore);
    QCOMPARE(QString::fromStdString(in.askVoice().value_or("<none>")), QString("de"));
    QCOMPARE(in.worker->failures(), 0);

    // A saved voice that is not installed is refused; the voice stays.
    const LV2_State_Interface* st = in.state();
    LV2_Handle h = lilv_instance_get_handle(in.instance);
    const std::string unknown = std::string("elvish") + '\0';
    auto bytes = exact(unknown);
    FakeState s{bytes.get(), unknown.size(), urid(LV2_ATOM__String), urid(GLIMM_LV2_VOICE_URI)};
    QVERIFY(st->restore(h, FakeState::retrieve, &s, 0, nullptr) != LV2_STATE_SUCCESS);
    QCOMPARE(in.log.warnings(), warningsBefore + 6);
    QCOMPARE(QString::fromStdString(in.askVoice().value_or("<none>")), QString("de"));

    // And it speaks with it.
    giveText(in, "Guten Morgen, wie geht es dir?");
    QVERIFY(analysis::peak(speakAndRecord(in, 3.0)) > 0.05);
  }

  // Atoms that are not a short UTF-8 string change nothing and are logged.
  void hostileAtomsRefused() {
    Instance in;
    giveText(in, "keep me");
    const size_t announcedBefore = in.announced.size();
    const int warningsBefore = in.log.warnings();
    const LV2_URID text = urid(GLIMM_LV2_TEXT_URI), str = urid(LV2_ATOM__String);
    const std::string oversize(kGlimmTextMaxBytes + 1, 'a');
    in.set(text, str, oversize.c_str(), uint32_t(oversize.size() + 1));
    in.set(text, str, "caf\xC3\x28", 6);
    in.set(text, str, "\xF4\x90\x80\x80", 5);  // past U+10FFFF
    in.set(text, str, "unterminated", 12);
    in.set(text, str, "", 0);
    const int32_t number = 7;
    in.set(text, urid(LV2_ATOM__Int), &number, sizeof number);
    in.run(kBlock);
    in.worker->drain();
    QCOMPARE(in.log.warnings(), warningsBefore + 6);
    QCOMPARE(in.announced.size(), announcedBefore);
    QVERIFY(in.askText() == std::string("keep me"));

    // A truncated MIDI message, an object with no properties, a bare atom: ignored.
    const uint8_t noteOn = 0x90;
    in.atom(urid(LV2_MIDI__MidiEvent), &noteOn, 1);
    const LV2_Atom_Object_Body emptySet{0, urid(LV2_PATCH__Set)};
    in.atom(urid(LV2_ATOM__Object), &emptySet, sizeof emptySet);
    in.atom(urid(LV2_ATOM__Object), &emptySet, 4);
    in.atom(urid(LV2_ATOM__Int), &number, sizeof number);
    in.run(kBlock);

    // Sizes that claim more than what encloses them. Each case carries a valid
    // patch:Set of "EVIL", so a reader that trusts the claim takes it.
    for (int variant = 0; variant < 5; ++variant) {
      in.setText("EVIL");
      LV2_Atom_Sequence* seq = in.control->seq();
      auto* ev = reinterpret_cast<LV2_Atom_Event*>(seq + 1);
      auto* obj = reinterpret_cast<LV2_Atom_Object*>(&ev->body);
      // property (key, context, URID atom padded) then value's key and context
      auto* value = reinterpret_cast<LV2_Atom*>(reinterpret_cast<uint8_t*>(&obj->body) + 8 + 24 + 8);
      QCOMPARE(value->type, str);
      QCOMPARE(value->size, 5u);
      switch (variant) {
        case 0:
          seq->atom.size -= 8;
          break;  // the event runs past the sequence
        case 1:
          ev->body.size += 1000;
          break;  // the event claims more than the sequence
        case 2:
          value->size += 100;
          break;  // the value runs past its object
        case 3:
          seq->atom.size = 0;
          break;  // no room even for the sequence body
        case 4:
          seq->atom.type = urid(LV2_ATOM__Chunk);
          break;  // not a sequence at all
      }
      in.run(kBlock);
      in.worker->drain();
      QVERIFY2(in.askText() == std::string("keep me"), qPrintable(QString("variant %1").arg(variant)));
    }
    QCOMPARE(in.worker->failures(), 0);
  }

  // A host whose worker is full: the text is refused, not half taken.
  void fullWorkerRefuses() {
    Instance in;
    giveText(in, "keep me");
    in.worker->refuse = true;
    const int warningsBefore = in.log.warnings();
    in.setText("lost");
    in.speak();
    in.run(kBlock);
    QCOMPARE(in.log.warnings(), warningsBefore + 2);
    in.worker->refuse = false;
    QVERIFY(in.askText() == std::string("keep me"));
    QCOMPARE(analysis::peak(in.render(0.5)), 0.0);
  }

  // Zero frames, long blocks, ports the host left unconnected, no room to notify.
  void runEdges() {
    Instance in;
    in.run(0);
    giveText(in, "Edges are fine.");
    in.speak();
    in.run(0);
    in.worker->drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::fill(in.out.begin(), in.out.end(), 1.0f);
    lilv_instance_run(in.instance, 8192);
    QVERIFY(analysis::peak(std::vector<float>(in.out.begin(), in.out.begin() + 8192)) > 0.01);
    // Nothing beyond the block is touched.
    QCOMPARE(in.out[8192], 1.0f);

    // Every port unconnected.
    for (uint32_t port = 0; port <= kGlimmPortFreeWheel; ++port) lilv_instance_connect_port(in.instance, port, nullptr);
    lilv_instance_run(in.instance, 0);
    lilv_instance_run(in.instance, 8192);
    in.connectAll();

    // A notify buffer too small for anything, then one too small for the
    // answer: the answer waits until there is room.
    const size_t before = in.announced.size();
    in.notifyCapacity = 12;
    in.get(urid(GLIMM_LV2_TEXT_URI));
    in.run(kBlock);
    QCOMPARE(in.notify->seq()->atom.size, 0u);
    in.notifyCapacity = 64;
    in.run(kBlock);
    QCOMPARE(in.notify->seq()->atom.size, uint32_t(sizeof(LV2_Atom_Sequence_Body)));
    QCOMPARE(in.announced.size(), before);
    in.notifyCapacity = kAtomCapacity;
    in.run(kBlock);
    QCOMPARE(in.announced.size(), before + 1);
    QCOMPARE(QString::fromStdString(in.announced.back()), QString("Edges are fine."));
  }

  // Hosts run at any rate from 8 to 192 kHz: the voice speaks, and sings on
  // the note, at each.
  void sampleRates() {
    for (const double rate : {8000.0, 11025.0, 22050.0, 44100.0, 96000.0, 176400.0, 192000.0}) {
      const QString at = QString("at %1 Hz").arg(rate);
      Instance in(true, true, rate);
      QVERIFY2(in.instance, qPrintable(at));
      in.params[kGlimmParam_SingMode] = 1;
      giveText(in, "la la la la");
      in.midi(0x90, 57, 100);  // A3, 220 Hz
      in.run(kBlock);
      // At four times real time: at low rates a block is so short that an
      // unpaced loop would outrun the synthesis.
      std::vector<float> audio;
      while (audio.size() < size_t(3 * rate)) {
        in.run(kBlock);
        audio.insert(audio.end(), in.out.begin(), in.out.begin() + kBlock);
        std::this_thread::sleep_for(std::chrono::microseconds(long(kBlock / rate / 4 * 1e6)));
      }
      QVERIFY2(analysis::peak(audio) > 0.05, qPrintable(at));
      QVERIFY2(analysis::activeSeconds(audio, rate) > 0.15, qPrintable(at));  // one sung word
      const double f0 = analysis::medianF0(audio, rate);
      QVERIFY2(std::fabs(analysis::cents(f0, 220.0)) < 50, qPrintable(at + QString(": %1 Hz").arg(f0)));
    }
  }

  // A host may connect ports after the first blocks, and move any port to
  // other storage between blocks; each block uses what is connected then.
  void portsConnectedLateOrMoved() {
    Instance in;
    for (uint32_t port = 0; port <= kGlimmPortFreeWheel; ++port) lilv_instance_connect_port(in.instance, port, nullptr);
    for (int i = 0; i < 4; ++i) lilv_instance_run(in.instance, kBlock);
    in.connectAll();
    giveText(in, "la la la la");

    // The sing switch's port moves to storage that says on: a note now sings.
    float singOn = 1;
    lilv_instance_connect_port(in.instance, glimmParameterPort(kGlimmParam_SingMode), &singOn);
    in.midi(0x90, 60, 100);
    in.run(kBlock);
    in.worker->drain();

    // The output alternates between two buffers; each block lands in the one
    // connected for it and leaves the other as it was.
    std::vector<float> a(kBlock), b(kBlock), heard;
    int releasedAt = -2;
    for (int block = 0; block < int(3 * kRate / kBlock); ++block) {
      std::vector<float>& to = block % 2 ? b : a;
      std::vector<float>& other = block % 2 ? a : b;
      std::fill(other.begin(), other.end(), 7.0f);
      lilv_instance_connect_port(in.instance, kGlimmPortOut, to.data());
      lilv_instance_run(in.instance, kBlock);
      QVERIFY(std::all_of(other.begin(), other.end(), [](float v) { return v == 7.0f; }));
      QVERIFY(std::all_of(to.begin(), to.end(), [](float v) { return v >= -1.0f && v <= 1.0f; }));
      heard.insert(heard.end(), to.begin(), to.end());
      // The key goes up once the syllable sounds (whenever the voice's
      // worker, on a loaded machine, has it ready).
      if (releasedAt == -2 && analysis::peak(to) > 0.05) {
        in.midi(0x80, 60, 0);
        in.end();
        releasedAt = block;
      }
      if (block == releasedAt + 1) in.beginEvents();
      if (block % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    QVERIFY(analysis::peak(heard) > 0.05);

    const double sungWord = analysis::activeSeconds(heard, kRate);

    // Moved back to storage that says off: a note speaks the whole text
    // instead of singing its next word.
    lilv_instance_connect_port(in.instance, kGlimmPortOut, in.out.data());
    lilv_instance_connect_port(in.instance, glimmParameterPort(kGlimmParam_SingMode), &in.params[kGlimmParam_SingMode]);
    in.params[kGlimmParam_SingMode] = 0;
    in.run(kBlock);
    in.render(1.0);  // whatever is left of the sung word
    in.midi(0x90, 60, 100);
    in.run(kBlock);
    in.worker->drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the voice's worker, on a loaded machine
    const double spoken = analysis::activeSeconds(in.render(4.0), kRate);
    QVERIFY2(spoken > 2 * sungWord, qPrintable(QString("spoken %1 s, one sung word %2 s").arg(spoken).arg(sungWord)));
  }

  // Deactivate and activate again, many times, between and during speech:
  // the instance keeps its text and speaks on.
  void activationCycles() {
    Instance in;
    giveText(in, "Cycles keep the text.");
    for (int cycle = 0; cycle < 25; ++cycle) {
      lilv_instance_deactivate(in.instance);
      lilv_instance_activate(in.instance);
      if (cycle % 5 == 0) speakAndRecord(in, 0.1);
      in.run(kBlock);
    }
    QVERIFY(in.askText() == std::string("Cycles keep the text."));
    QVERIFY(analysis::peak(speakAndRecord(in, 3.0)) > 0.05);
    QCOMPARE(in.worker->failures(), 0);
    QCOMPARE(in.log.warnings(), 0);
  }

  // Two instances in one process keep their own texts and voices.
  void twoInstances() {
    Instance a, b;
    giveText(a, "I am the first.");
    giveText(b, "And I am the second one.");
    QVERIFY(a.askText() == std::string("I am the first."));
    QVERIFY(b.askText() == std::string("And I am the second one."));
    a.speak();
    a.run(kBlock);
    a.worker->drain();
    std::vector<float> heardA, heardB;
    for (int i = 0; i < int(3 * kRate / kBlock); ++i) {
      a.run(kBlock);
      b.run(kBlock);
      heardA.insert(heardA.end(), a.out.begin(), a.out.begin() + kBlock);
      heardB.insert(heardB.end(), b.out.begin(), b.out.begin() + kBlock);
      if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    QVERIFY(analysis::peak(heardA) > 0.05);
    QCOMPARE(analysis::peak(heardB), 0.0);
    QVERIFY(analysis::peak(speakAndRecord(b, 3.0)) > 0.05);
  }
};

QTEST_GUILESS_MAIN(TestLv2)
#include "tst_lv2.moc"
