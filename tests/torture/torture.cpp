// Random events against the real editor bundle on the real platform, with two
// chaos units and the real speech unit (rendered on a thread of its own, as a
// host's audio thread would): user input on the panels, the units changing
// their own parameters and text, units failing calls, play requests, and
// views opened and released all the while. After every run-loop turn the
// panels, the editors' text state and the units must agree.
//
//   torture [--events N] [--seed S] [--cycles C] [--idle-every M] [--us-per-event U]
//
// Time is logical: the platform's clock moves U microseconds per event
// (default 3000, about the real pace) and jumps to the next due delivery when
// the run waits for rest, so a seed makes the same run on any machine at any
// speed. The summary ends with a hash of the event log to show it. With
// --us-per-event -1 the platform keeps the machine's clock instead.
//
// Exit status 0 when every invariant held; otherwise the first violation is
// printed with the seed and the events that led to it.
#include "SpeechUnitHarness.h"
#include "chaosunit.h"
#include "panelaccess.h"
#include "runloopidle.h"

#include "AUGlimm3_UIView.h"
#include "cocoaviewloader.h"
#include "glimmtextedit.h"
#include "vstglimmeditor.h"

#include <QMacNativeWidget.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QStringDecoder>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <thread>

#ifndef GLIMM_EDITOR_BUNDLE
#define GLIMM_EDITOR_BUNDLE ""
#endif

namespace {

std::atomic<int64_t> gLogicalNs{1000000000};

// Units 0 and 1 are chaos units; this one is the real speech unit.
constexpr int kVoice = 2;
constexpr int kUnits = 3;

// The speech unit's host side: its render thread, and the text and
// parameters as a host reads them.
class RealVoice {
 public:
  bool open() {
    if (!dlopen(GLIMM_SPEECH_UNIT_PATH, RTLD_NOW | RTLD_LOCAL)) return false;
    au = harness::newUnit(48000, 2);
    if (!au) return false;
    m_thread = std::thread([this] { renderLoop(); });
    // Until its first render the unit does not know its render thread and
    // announces changes from its worker; the run starts once it does.
    while (blocks.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }
  void close() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (au) AudioComponentInstanceDispose(au);
    au = nullptr;
  }
  std::string text() const {
    char buf[kGlimmTextBufferSize] = {};
    UInt32 size = sizeof buf;
    AudioUnitGetProperty(au, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buf, &size);
    return std::string(buf, strnlen(buf, sizeof buf));
  }
  double parameter(int i) const {
    AudioUnitParameterValue v = 0;
    AudioUnitGetParameter(au, AudioUnitParameterID(i), kAudioUnitScope_Global, 0, &v);
    return v;
  }

  AudioUnit au = nullptr;
  std::atomic<long> blocks{0}, heard{0}, errors{0};

 private:
  // About real time, so the engine works as it does in a host.
  void renderLoop() {
    std::vector<float> left, right;
    while (!m_stop) {
      OSStatus err = noErr;
      heard += harness::renderBlock(au, left, right, 256, &err);
      errors += err != noErr;
      ++blocks;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
};
SInt64 logicalNow() { return gLogicalNs.load(std::memory_order_relaxed); }

// ---- Text as the unit holds it and as the panel shows it --------------------

// Strict UTF-8 (a leading BOM is a character) when valid, else Latin-1.
QString decodeUnitBytes(const QByteArray& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString s = utf8.decode(bytes);
  if (utf8.hasError()) return QString::fromLatin1(bytes);
  return s;
}

bool validUtf8(const QByteArray& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  const QString decoded = utf8.decode(bytes);  // decodes only when converted
  return !utf8.hasError();
}

// Paragraph breaks travel as line feeds.
QString shownText(const QTextEdit* field) {
  QString t = field->document()->toRawText();
  t.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return t;
}

// What a panel must show for 512 bytes from the unit: the text up to its
// terminator, or 511 bytes less a UTF-8 sequence the limit cut; then the
// longest whole-character prefix within 256 UTF-16 units and 511 UTF-8 bytes.
QString expectedFromUnit(const unsigned char (&raw)[chaos::kTextSize]) {
  const char* p = reinterpret_cast<const char*>(raw);
  QByteArray bytes;
  if (const void* nul = std::memchr(raw, 0, chaos::kTextSize)) {
    bytes = QByteArray(p, int(static_cast<const unsigned char*>(nul) - raw));
  } else {
    bytes = QByteArray(p, chaos::kTextSize - 1);
    if (!validUtf8(bytes)) {
      for (int cut = 1; cut <= 3; ++cut) {
        const QByteArray head = bytes.left(bytes.size() - cut);
        if ((uchar(bytes.at(head.size())) >= 0xC0) && validUtf8(head)) {
          bytes = head;
          break;
        }
      }
    }
  }
  const QString s = decodeUnitBytes(bytes);
  int units = 0, utf8 = 0;
  while (units < s.size()) {
    const bool pair = s.at(units).isHighSurrogate() && units + 1 < s.size() && s.at(units + 1).isLowSurrogate();
    const int step = pair ? 2 : 1;
    const int width = QStringView(s).mid(units, step).toUtf8().size();
    if (units + step > 256 || utf8 + width > 511) break;
    units += step;
    utf8 += width;
  }
  return s.left(units);
}

// Characters a text document keeps as they are, so a unit's text made of them
// must come out unchanged.
bool plainlyShown(const QString& s) {
  for (QChar c : s) {
    const ushort u = c.unicode();
    if (u == '\n' || u == '\t') continue;
    if (u < 0x20 || (u >= 0x7F && u < 0xA0)) return false;
    if (u == 0x2028 || u == 0x2029 || u == 0xFEFF || u == 0xFFFC || u >= 0xFFFE) return false;
    if (c.isSurrogate()) continue;  // pairs only, from valid UTF-8
  }
  return true;
}

// ---- The run --------------------------------------------------------------------

struct Emission {
  int unit;
  chaos::SetCall call;
};

struct Live {
  int serial = 0;
  int unit = 0;
  AUGlimm3_UIView* view = nullptr;
  NSWindow* window = nullptr;
  VstGlimm3Editor* editor = nullptr;
  QTextEdit* field = nullptr;
  QSlider* controls[7] = {};
  QLabel* singLabel = nullptr;
  QLabel* logo = nullptr;
  QPushButton* speak = nullptr;
  QPushButton* viewButton = nullptr;
};

struct UnitSlot {
  chaos::Instance inst;
  long paramFailureAt = -1;  // last event in which a parameter call of this unit failed
  long textFailureAt = -1;   // last event in which a text read failed
  long reportedAt[chaos::kParamCount] = {-1, -1, -1, -1, -1, -1, -1};  // last successful announcement
  long textReportedAt = -1;
  long chaosUntil = -1;
  long seenFailedReads = 0, seenFailedSets = 0, seenFailedTextReads = 0, seenPlays = 0;
};

class CountingHandler : public NSAssertionHandler {
 public:
  long count = 0;
  void handleFailureInMethod(const char*, NSObject*, const char*, NSInteger, const char* description) override {
    ++count;
    // As the default handler does, without its console line on every one.
    throw NSInternalInconsistencyException(description ? description : "");
  }
};

class Torture {
 public:
  Torture(uint64_t seed, long events, long cycles, long idleEvery, long usPerEvent)
      : m_rng(seed),
        m_seed(seed),
        m_events(events),
        m_cycles(cycles),
        m_idleEvery(idleEvery),
        m_nsPerEvent(int64_t(usPerEvent) * 1000) {}

  int run();

 private:
  // Randomness.
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_rng) < p; }
  char32_t randomCodePoint();
  QString randomText(int maxUnits);
  float randomParameterValue(int index);
  void randomUnitBytes(unsigned char (&out)[chaos::kTextSize], const chaos::Unit* u);
  std::string storedText(int unit) const;
  double unitParameter(int unit, int index) const;

  // Views.
  Live* openView(int unit);
  void closeView(size_t which);
  int viewsOf(int unit) const;

  // Events.
  void step();
  void typeCharacter(Live& v);
  void pressEditingKey(Live& v);
  void pressPlayKey(Live& v);
  void paste(Live& v);
  void clickField(Live& v);
  void moveControl(Live& v);
  void clickViewButton(Live& v);
  void clickSpeak(Live& v);
  void clickLogo(Live& v);
  void automate();
  void unitText();
  void startChaos();

  // Invariants.
  void afterEvent();
  void checkTurn();
  void checkIdle();
  void checkUnitTextShown(int unit, const QString& expected);
  void fail(const std::string& what);
  void log(const std::string& what);

  std::mt19937_64 m_rng;
  uint64_t m_seed;
  long m_events, m_cycles, m_idleEvery;
  int64_t m_nsPerEvent;
  long m_event = 0;
  uint64_t m_logHash = 1469598103934665603ull;  // FNV-1a over every event's line
  UnitSlot m_units[kUnits];
  RealVoice m_voice;
  std::vector<std::unique_ptr<Live>> m_live;
  int m_nextSerial = 1;
  CountingHandler* m_handler = nullptr;
  long m_seenAssertions = 0;
  std::vector<Emission> m_emitted;
  long m_expectedPlays[kUnits] = {0, 0, 0};
  bool m_failed = false;
  bool m_opened = false;  // a view was opened by the current event
  std::deque<std::string> m_history;
  std::string m_current;

  // Totals for the summary.
  long m_opens = 0, m_voiceOpens = 0, m_playsTotal = 0, m_setsTotal = 0, m_automations = 0, m_unitTexts = 0,
       m_idles = 0, m_aboutBoxes = 0, m_injected = 0, m_oracles = 0;
};

// ---- Randomness ----------------------------------------------------------------

char32_t Torture::randomCodePoint() {
  switch (pick(10)) {
    case 0:
    case 1:
    case 2:
    case 3:
      return char32_t(between(0x20, 0x7E));
    case 4:
      return char32_t(between(0xA0, 0xFF));
    case 5:
      return char32_t(between(0x370, 0x52F));  // Greek, Cyrillic
    case 6:
      return char32_t(between(0x4E00, 0x4EFF));  // 3 bytes in UTF-8
    case 7:
      return char32_t(between(0x1F300, 0x1F64F));  // a surrogate pair, 4 bytes
    case 8: {
      static const char32_t odd[] = {0x0300, 0x0301, 0x200D, 0x05D0, 0x0627, 0x00AD,
                                     0x2028, 0x00A0, 0xFEFF, '\t',   0x20AC};
      return odd[pick(int(sizeof odd / sizeof *odd))];
    }
    default:
      return char32_t(between(0x100, 0x24F));
  }
}

QString Torture::randomText(int maxUnits) {
  QString s;
  const int target = between(0, maxUnits);
  while (s.size() < target) {
    const char32_t cp = chance(0.05) ? U'\n' : randomCodePoint();
    s += QString::fromUcs4(&cp, 1);
  }
  return s;
}

float Torture::randomParameterValue(int index) {
  static const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                                   -std::numeric_limits<float>::quiet_NaN(),
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   FLT_MAX,
                                   -FLT_MAX,
                                   1e30f,
                                   -1e30f,
                                   3e9f,
                                   -3e9f,
                                   2147483648.f,
                                   -2147483904.f,
                                   1e-40f,
                                   -0.0f,
                                   -0.5f,
                                   0.3f,
                                   0.5f,
                                   0.49999f,
                                   0.7f,
                                   1.0f,
                                   19.99f,
                                   200.5f,
                                   255.99f,
                                   256.f,
                                   300.f,
                                   -1.f,
                                   99.9f};
  const int kind = pick(10);
  if (kind < 4) return index >= 4 ? float(pick(2)) : float(between(index == 1 ? 20 : 0, index == 1 ? 200 : 255));
  if (kind < 6) return std::uniform_real_distribution<float>(-1000, 1000)(m_rng);
  return specials[pick(int(sizeof specials / sizeof *specials))];
}

void Torture::randomUnitBytes(unsigned char (&out)[chaos::kTextSize], const chaos::Unit* u) {
  std::memset(out, 0, sizeof out);
  auto putUtf8 = [&](const QString& s, int limit) {
    const QByteArray b = s.toUtf8();
    std::memcpy(out, b.constData(), size_t(std::min<int>(b.size(), limit)));
  };
  switch (pick(10)) {
    case 0:
    case 1:
      putUtf8(randomText(300), 511);
      break;   // may cut a character: then it is not UTF-8
    case 2: {  // exactly 511 bytes of UTF-8
      QByteArray b;
      while (b.size() < 511) {
        const char32_t cp = randomCodePoint();
        const QByteArray c = QString::fromUcs4(&cp, 1).toUtf8();
        if (b.size() + c.size() <= 511)
          b += c;
        else
          b += 'x';
      }
      std::memcpy(out, b.constData(), 511);
      break;
    }
    case 3: {  // random bytes, terminated
      const int n = between(1, 511);
      for (int i = 0; i < n; ++i) out[i] = uchar(between(1, 255));
      break;
    }
    case 4: {  // no terminator at all
      for (auto& c : out) c = uchar(between(1, 255));
      break;
    }
    case 5: {  // no terminator, multi-byte characters across the 511-byte limit
      static const char* seq[] = {"\xE2\x82\xAC", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xE4\xB8\x80"};
      const char* s = seq[pick(4)];
      const size_t n = std::strlen(s);
      size_t at = size_t(pick(int(n)));  // start mid-character sometimes
      for (auto& c : out) c = uchar(s[at++ % n]);
      if (chance(0.5)) std::memset(out, 'a', size_t(between(0, 4)));
      break;
    }
    case 6: {  // Latin-1
      const int n = between(0, 400);
      for (int i = 0; i < n; ++i) out[i] = uchar(chance(0.5) ? between(0x20, 0x7E) : between(0xA0, 0xFF));
      break;
    }
    case 7: {  // control characters in text
      static const char* parts[] = {"a", "b ", "\r", "\r\n", "\n", "\t", "\x01", "\x1b", "\x7f", "\x0c", "\x0b"};
      std::string s;
      const int n = between(0, 60);
      for (int i = 0; i < n; ++i) s += parts[pick(int(sizeof parts / sizeof *parts))];
      std::memcpy(out, s.data(), std::min<size_t>(s.size(), 511));
      break;
    }
    case 8:
      break;  // empty
    default:  // unchanged
      if (u) {
        std::memcpy(out, u->text, sizeof out);
      } else {
        const std::string t = m_voice.text();
        std::memcpy(out, t.data(), t.size());
      }
      break;
  }
}

// ---- Views -----------------------------------------------------------------------

Live* Torture::openView(int unit) {
  static const NSSize sizes[] = {NSMakeSize(440, 320), NSMakeSize(0, 0), NSMakeSize(-1, -1), NSMakeSize(1e9, 1e9),
                                 NSMakeSize(std::nan(""), 3)};
  NSAutoreleasePool* pool = new NSAutoreleasePool;
  std::string error;
  NSView* made = GlimmCreateCocoaView(m_units[unit].inst.au, sizes[pick(5)], &error);
  pool->drain();
  if (!made) {
    fail("no view for unit " + std::to_string(unit) + ": " + error);
    return nullptr;
  }
  ++m_opens;
  m_voiceOpens += unit == kVoice;
  m_opened = true;
  auto live = std::make_unique<Live>();
  live->serial = m_nextSerial++;
  live->unit = unit;
  live->view = static_cast<AUGlimm3_UIView*>(made);
  live->window = new NSWindow;
  live->window->contentView()->setFrame(NSMakeRect(0, 0, 440, 320));
  live->window->contentView()->addSubview(made);
  Live& v = *live;
  m_live.push_back(std::move(live));

  const NSRect frame = made->frame();
  if (frame.size.width != 440 || frame.size.height != 320) fail("the view's frame is not the panel's 440 x 320");
  v.editor = ViewAccess::editor(v.view);
  if (!v.editor || !EditorAccess::panel(v.editor)) {
    fail("the view holds no open editor");
    return nullptr;
  }
  v.field = EditorAccess::field(v.editor);
  for (int i = 0; i < 7; ++i) v.controls[i] = EditorAccess::control(v.editor, i);
  v.singLabel = EditorAccess::singLabel(v.editor);
  v.logo = EditorAccess::logo(v.editor);
  v.viewButton = EditorAccess::viewButton(v.editor);
  for (QPushButton* b : EditorAccess::panel(v.editor)->findChildren<QPushButton*>())
    if (b->text() == QLatin1String("SPEAK!")) v.speak = b;
  for (QSlider* s : v.controls)
    if (!s) fail("a control is missing");
  if (!v.field || !v.singLabel || !v.logo || !v.viewButton || !v.speak) fail("a widget is missing");
  if (m_failed) return nullptr;
  // What the user moves must reach the unit, once; nothing else may.
  for (int i = 0; i < chaos::kParamCount; ++i)
    QObject::connect(v.controls[i], &QSlider::valueChanged, [this, unit, i](int value) {
      m_emitted.push_back(Emission{unit, chaos::SetCall{AudioUnitParameterID(i), float(value)}});
    });
  return &v;
}

void Torture::closeView(size_t which) {
  std::unique_ptr<Live> v = std::move(m_live[which]);
  m_live.erase(m_live.begin() + long(which));
  NSAutoreleasePool* pool = new NSAutoreleasePool;
  v->view->removeFromSuperview();
  v->view->release();
  v->window->release();
  pool->drain();
}

int Torture::viewsOf(int unit) const {
  int n = 0;
  for (const auto& v : m_live) n += v->unit == unit;
  return n;
}

// ---- Events -----------------------------------------------------------------------

void Torture::typeCharacter(Live& v) {
  const char32_t cp = randomCodePoint();
  const QString text = QString::fromUcs4(&cp, 1);
  const int key = (cp >= 'a' && cp <= 'z') ? int(cp - 'a' + Qt::Key_A) : (cp >= 0x20 && cp < 0x7F ? int(cp) : 0);
  m_current = "type U+" + QString::number(uint(cp), 16).toStdString() + " in view " + std::to_string(v.serial);
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(v.field, &press);
  QApplication::sendEvent(v.field, &release);
}

void Torture::pressEditingKey(Live& v) {
  struct K {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    const char* name;
  };
  static const K keys[] = {{Qt::Key_Backspace, Qt::NoModifier, "Backspace"},
                           {Qt::Key_Backspace, Qt::NoModifier, "Backspace"},
                           {Qt::Key_Delete, Qt::NoModifier, "Delete"},
                           {Qt::Key_Left, Qt::NoModifier, "Left"},
                           {Qt::Key_Right, Qt::NoModifier, "Right"},
                           {Qt::Key_Home, Qt::NoModifier, "Home"},
                           {Qt::Key_End, Qt::ControlModifier, "Ctrl+End"},
                           {Qt::Key_Up, Qt::NoModifier, "Up"},
                           {Qt::Key_A, Qt::ControlModifier, "Ctrl+A"},
                           {Qt::Key_Z, Qt::ControlModifier, "Ctrl+Z"},
                           {Qt::Key_Y, Qt::ControlModifier, "Ctrl+Y"},
                           {Qt::Key_X, Qt::ControlModifier, "Ctrl+X"},
                           {Qt::Key_Left, Qt::ShiftModifier, "Shift+Left"},
                           {Qt::Key_Return, Qt::ShiftModifier, "Shift+Return"},
                           {Qt::Key_Return, Qt::ControlModifier, "Ctrl+Return"},
                           {Qt::Key_Enter, Qt::ShiftModifier | Qt::KeypadModifier, "Shift+Enter"}};
  const K& k = keys[pick(int(sizeof keys / sizeof *keys))];
  m_current = std::string("key ") + k.name + " in view " + std::to_string(v.serial);
  const bool isBreak = k.key == Qt::Key_Return || k.key == Qt::Key_Enter;
  const QString before = EditorAccess::text(v.editor);
  const bool roomForBreak =
      !v.field->textCursor().hasSelection() && before.size() < 256 && before.toUtf8().size() < 511;
  QTest::keyClick(v.field, k.key, k.mods);
  if (isBreak && roomForBreak &&
      EditorAccess::text(v.editor).count(QLatin1Char('\n')) != before.count(QLatin1Char('\n')) + 1)
    fail("Shift or Control with Return did not add exactly one line break");
}

void Torture::pressPlayKey(Live& v) {
  struct K {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    const char* name;
  };
  static const K keys[] = {{Qt::Key_Return, Qt::NoModifier, "Return"},
                           {Qt::Key_Enter, Qt::KeypadModifier, "Enter"},
                           {Qt::Key_Return, Qt::AltModifier, "Alt+Return"},
                           {Qt::Key_Return, Qt::MetaModifier, "Meta+Return"}};
  const K& k = keys[pick(4)];
  m_current = std::string("key ") + k.name + " in view " + std::to_string(v.serial);
  const QString before = EditorAccess::text(v.editor);
  QTest::keyClick(v.field, k.key, k.mods);
  ++m_expectedPlays[v.unit];
  if (EditorAccess::text(v.editor) != before) fail("a play key changed the text");
}

void Torture::paste(Live& v) {
  auto* mime = new QMimeData;
  const int kind = pick(4);
  QString plain = randomText(kind == 0 ? 400 : 80);
  if (kind == 1) {
    mime->setHtml("<b>" + plain.toHtmlEscaped() + "</b><img src=\"/etc/passwd\"><table><tr><td>cell</td></tr></table>");
    plain += "cell";
  } else if (kind == 2) {
    mime->setHtml("<i>only markup</i><img src=\"file:///etc/hostname\">");
    plain.clear();
  }
  if (!plain.isEmpty() || kind != 2) mime->setText(plain);
  QGuiApplication::clipboard()->setMimeData(mime);
  m_current = "paste " + std::to_string(plain.size()) + " units (kind " + std::to_string(kind) + ") in view " +
              std::to_string(v.serial);
  QTest::keyClick(v.field, Qt::Key_V, Qt::ControlModifier);
  if (shownText(v.field).contains(QChar::ObjectReplacementCharacter))
    fail("pasted rich text left an object in the field");
  if (kind == 2 && shownText(v.field).contains(QLatin1String("only markup"))) fail("markup-only paste inserted text");
}

void Torture::clickField(Live& v) {
  m_current = "click in the field of view " + std::to_string(v.serial);
  QWidget* target = v.field->viewport();
  QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier,
                    QPoint(between(1, target->width() - 2), between(1, target->height() - 2)));
  NSView* native = GlimmNativeViewForWinId(uintptr_t(v.field->winId()));
  if (!native || v.window->firstResponder() != native)
    fail("a press in the text field did not give its native view the keyboard");
}

void Torture::moveControl(Live& v) {
  const int index = pick(10) < 8 ? pick(5) : 5 + pick(2);
  QSlider* s = v.controls[index];
  const int how = s->isVisible() ? pick(4) : 0;
  m_current =
      "move control " + std::to_string(index) + " of view " + std::to_string(v.serial) + " by " + std::to_string(how);
  switch (how) {
    case 0:
      s->setValue(between(s->minimum() - 5, s->maximum() + 5));
      break;  // a drag
    case 1: {
      static const Qt::Key keys[] = {Qt::Key_Right,    Qt::Key_Left, Qt::Key_PageUp,
                                     Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End};
      QTest::keyClick(s, keys[pick(6)]);
      break;
    }
    default:
      QTest::mouseClick(s, Qt::LeftButton, Qt::NoModifier, QPoint(between(0, s->width() - 1), s->height() / 2));
  }
}

void Torture::clickViewButton(Live& v) {
  m_current = "view button of view " + std::to_string(v.serial);
  const QString before = v.viewButton->text();
  QTest::mouseClick(v.viewButton, Qt::LeftButton);
  const QString after = v.viewButton->text();
  if (before == after || (after != QLatin1String("config") && after != QLatin1String("param")))
    fail("the view button did not switch views");
}

void Torture::clickSpeak(Live& v) {
  m_current = "SPEAK! in view " + std::to_string(v.serial);
  QTest::mouseClick(v.speak, Qt::LeftButton);
  ++m_expectedPlays[v.unit];
}

void Torture::clickLogo(Live& v) {
  m_current = "logo of view " + std::to_string(v.serial);
  // The About box runs its own event loop: dismiss it from inside.
  auto shown = std::make_shared<int>(0);
  auto tries = std::make_shared<int>(0);
  auto dismiss = std::make_shared<std::function<void()>>();
  *dismiss = [shown, tries, dismiss] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++*shown;
      const auto buttons = box->buttons();
      if (!buttons.isEmpty())
        buttons.first()->click();
      else
        box->reject();
    } else if (++*tries < 200) {
      QTimer::singleShot(5, *dismiss);
    }
  };
  QTimer::singleShot(0, *dismiss);
  QTest::mouseClick(v.logo, Qt::LeftButton);
  if (*shown != 1) fail("a click on the logo did not show the About box once");
  if (QApplication::activeModalWidget()) fail("the About box stayed open");
  *tries = 1000;  // a retry still queued gives up
  *dismiss = nullptr;
  ++m_aboutBoxes;
}

void Torture::automate() {
  const int u = pick(kUnits);
  const int index = pick(chaos::kParamCount);
  const float value = randomParameterValue(index);
  m_current =
      "unit " + std::to_string(u) + " sets parameter " + std::to_string(index) + " to " + std::to_string(double(value));
  ++m_automations;
  if (u == kVoice) {
    // The host automates the real unit; it clamps, refuses what is not finite
    // and announces a change.
    const double before = m_voice.parameter(index);
    const OSStatus err =
        AudioUnitSetParameter(m_voice.au, AudioUnitParameterID(index), kAudioUnitScope_Global, 0, value, 0);
    if ((err == noErr) != std::isfinite(value))
      return fail("the speech unit took or refused " + std::to_string(value) + " wrongly");
    if (err != noErr && m_voice.parameter(index) != before)
      return fail("the speech unit changed a parameter on a value it refused");
    if (err == noErr) m_units[u].reportedAt[index] = m_event;
    return;
  }
  if (chaos::automate(m_units[u].inst.unit, AudioUnitParameterID(index), value)) m_units[u].reportedAt[index] = m_event;
}

void Torture::unitText() {
  const int u = pick(kUnits);
  unsigned char bytes[chaos::kTextSize];
  randomUnitBytes(bytes, u == kVoice ? nullptr : m_units[u].inst.unit);
  m_current = "unit " + std::to_string(u) + " sets its text (" +
              std::to_string(strnlen(reinterpret_cast<const char*>(bytes), chaos::kTextSize)) + " bytes)";
  ++m_unitTexts;
  m_units[u].textReportedAt = m_event;
  if (u == kVoice) {
    // A host (a preset, a session) sets the real unit's text; it keeps at
    // most 511 bytes, and the panels show what it keeps.
    if (AudioUnitSetProperty(m_voice.au, kGlimmProperty_Text, kAudioUnitScope_Global, 0, bytes, sizeof bytes) != noErr)
      return fail("the speech unit refused a text");
    const std::string kept = m_voice.text();
    const size_t given = strnlen(reinterpret_cast<const char*>(bytes), 511);
    if (kept != std::string(reinterpret_cast<const char*>(bytes), given))
      return fail("the speech unit keeps \"" + kept + "\" for the text it was given");
    std::memset(bytes, 0, sizeof bytes);
    std::memcpy(bytes, kept.data(), kept.size());
  } else {
    chaos::setTextFromUnit(m_units[u].inst.unit, bytes);
  }
  const QString expected = expectedFromUnit(bytes);
  // With the unit behaving and a text a document keeps as it is, the panels
  // must show exactly it once the exchange has come to rest.
  if (m_units[u].chaosUntil < m_event && viewsOf(u) > 0 && plainlyShown(expected) && chance(0.5)) {
    if (!torture::runUntilIdle()) return fail("the text exchange never came to rest");
    checkUnitTextShown(u, expected);
  }
}

void Torture::checkUnitTextShown(int u, const QString& expected) {
  ++m_oracles;
  for (const auto& v : m_live) {
    if (v->unit != u) continue;
    if (EditorAccess::text(v->editor) != expected)
      return fail("view " + std::to_string(v->serial) + " shows \"" + EditorAccess::text(v->editor).toStdString() +
                  "\" for the unit's \"" + expected.toStdString() + "\"");
  }
  if (storedText(u) != expected.toUtf8().toStdString()) fail("the unit did not get its text back as shown");
}

std::string Torture::storedText(int u) const {
  return u == kVoice ? m_voice.text() : chaos::storedText(m_units[u].inst.unit);
}

double Torture::unitParameter(int u, int index) const {
  return u == kVoice ? m_voice.parameter(index) : m_units[u].inst.unit->params[index];
}

void Torture::startChaos() {
  const int u = pick(2);
  static const double odds[] = {0, 0.1, 0.5, 1.0};
  chaos::Unit* unit = m_units[u].inst.unit;
  unit->failRead = odds[pick(4)];
  unit->failSet = odds[pick(4)];
  unit->failTextRead = odds[pick(4)];
  m_units[u].chaosUntil = m_event + between(3, 30);
  m_current = "unit " + std::to_string(u) + " starts failing (read " + std::to_string(unit->failRead) + ", set " +
              std::to_string(unit->failSet) + ", text " + std::to_string(unit->failTextRead) + ")";
}

void Torture::step() {
  for (UnitSlot& s : m_units) {
    if (s.chaosUntil == m_event && s.inst.unit)
      s.inst.unit->failRead = s.inst.unit->failSet = s.inst.unit->failTextRead = 0;
  }
  // Views come and go at an even pace over the run.
  const long every = std::max<long>(1, m_events / std::max<long>(1, m_cycles));
  if (m_live.empty() || m_event % every == every / 2) {
    // Up to three views at once, of all units, the released one at random.
    m_current.clear();
    if (m_live.size() >= 3 || (!m_live.empty() && chance(0.6))) {
      const size_t which = size_t(pick(int(m_live.size())));
      m_current = "release view " + std::to_string(m_live[which]->serial) + ", ";
      closeView(which);
    }
    const int r = pick(10);
    const int unit = r < 5 ? 0 : r < 7 ? 1 : kVoice;
    m_current += "open a view of unit " + std::to_string(unit);
    openView(unit);
    return;
  }
  if (m_idleEvery > 0 && m_event % m_idleEvery == 0) {
    m_current = "wait until idle";
    checkIdle();
    return;
  }
  Live& v = *m_live[size_t(pick(int(m_live.size())))];
  const int r = pick(1000);
  if (r < 220)
    typeCharacter(v);
  else if (r < 340)
    pressEditingKey(v);
  else if (r < 380)
    pressPlayKey(v);
  else if (r < 450)
    paste(v);
  else if (r < 480)
    clickField(v);
  else if (r < 620)
    moveControl(v);
  else if (r < 640)
    clickViewButton(v);
  else if (r < 660)
    clickSpeak(v);
  else if (r < 664)
    clickLogo(v);
  else if (r < 830)
    automate();
  else if (r < 920)
    unitText();
  else if (r < 935)
    startChaos();
  else {
    m_current = "run-loop turns";
    for (int i = between(1, 5); i > 0; --i) torture::runTurn();
  }
}

// ---- Invariants -------------------------------------------------------------------

void Torture::fail(const std::string& what) {
  if (m_failed) return;
  m_failed = true;
  std::fprintf(stderr, "FAIL (seed %llu, event %ld: %s): %s\nLast events:\n", (unsigned long long)m_seed, m_event,
               m_current.c_str(), what.c_str());
  for (const auto& h : m_history) std::fprintf(stderr, "  %s\n", h.c_str());
}

void Torture::log(const std::string& what) {
  const std::string line = std::to_string(m_event) + ": " + what;
  for (unsigned char c : line + "\n") m_logHash = (m_logHash ^ c) * 1099511628211ull;
  m_history.push_back(line);
  if (m_history.size() > 25) m_history.pop_front();
}

void Torture::afterEvent() {
  torture::runTurn();
  if (m_failed) return;

  long injected = 0;
  for (int u = 0; u < 2; ++u) {
    UnitSlot& s = m_units[u];
    chaos::Unit* unit = s.inst.unit;
    const long paramFailures = unit->failedReads + unit->failedSets - s.seenFailedReads - s.seenFailedSets;
    const long textFailures = unit->failedTextReads - s.seenFailedTextReads;
    if (paramFailures > 0) s.paramFailureAt = m_event;
    // A failed read while a view attaches ends the attachment before the
    // text is pulled in: that view shows its own until the unit's changes.
    if (paramFailures > 0 && m_opened) s.textFailureAt = m_event;
    if (textFailures > 0) s.textFailureAt = m_event;
    injected += paramFailures;
    m_injected += paramFailures + textFailures;
    s.seenFailedReads = unit->failedReads;
    s.seenFailedSets = unit->failedSets;
    s.seenFailedTextReads = unit->failedTextReads;

    if (unit->plays - s.seenPlays != m_expectedPlays[u])
      return fail("unit " + std::to_string(u) + " got " + std::to_string(unit->plays - s.seenPlays) +
                  " play requests for " + std::to_string(m_expectedPlays[u]));
    m_playsTotal += m_expectedPlays[u];
    s.seenPlays = unit->plays;
    m_expectedPlays[u] = 0;
    if (unit->badTextSizes || unit->badPlaySizes) return fail("a property was set with the wrong size");

    // Every parameter write must be a user's move on a panel of this unit, in order.
    std::vector<chaos::SetCall> expected;
    for (const Emission& e : m_emitted)
      if (e.unit == u) expected.push_back(e.call);
    if (expected.size() != unit->sets.size())
      return fail("unit " + std::to_string(u) + " got " + std::to_string(unit->sets.size()) + " parameter writes for " +
                  std::to_string(expected.size()) + " moves on its panels");
    for (size_t i = 0; i < expected.size(); ++i) {
      const chaos::SetCall& got = unit->sets[i];
      if (got.id != expected[i].id || std::memcmp(&got.value, &expected[i].value, sizeof(float)) != 0)
        return fail("unit " + std::to_string(u) + " got parameter " + std::to_string(got.id) + " = " +
                    std::to_string(double(got.value)) + " where the panel moved " + std::to_string(expected[i].id) +
                    " to " + std::to_string(double(expected[i].value)));
    }
    m_setsTotal += long(unit->sets.size());
    unit->sets.clear();

    // One text registration per view; none left behind by released views.
    if (int(unit->listeners.size()) != viewsOf(u))
      return fail("unit " + std::to_string(u) + " has " + std::to_string(unit->listeners.size()) +
                  " property listeners for " + std::to_string(viewsOf(u)) + " views");
  }
  // The real unit holds the last value each move on its panels wrote.
  for (const Emission& e : m_emitted) {
    if (e.unit != kVoice) continue;
    ++m_setsTotal;
    double last = e.call.value;
    for (const Emission& later : m_emitted)
      if (later.unit == kVoice && later.call.id == e.call.id) last = later.call.value;
    if (m_voice.parameter(int(e.call.id)) != last)
      return fail("the speech unit holds " + std::to_string(m_voice.parameter(int(e.call.id))) + " for parameter " +
                  std::to_string(e.call.id) + " where its panel moved to " + std::to_string(last));
  }
  m_playsTotal += m_expectedPlays[kVoice];
  m_expectedPlays[kVoice] = 0;
  if (m_voice.errors.load()) return fail("the speech unit's render call failed");
  m_emitted.clear();

  const long assertions = m_handler->count - m_seenAssertions;
  m_seenAssertions = m_handler->count;
  if (assertions > injected)
    return fail(std::to_string(assertions) + " assertion failures for " + std::to_string(injected) +
                " failed parameter calls");
  checkTurn();
}

void Torture::checkTurn() {
  for (const auto& v : m_live) {
    const std::string name = "view " + std::to_string(v->serial);
    const QString& text = EditorAccess::text(v->editor);
    const char* buffer = EditorAccess::buffer(v->editor);
    const size_t bytes = strnlen(buffer, chaos::kTextSize);
    if (bytes > 511) return fail(name + ": the text buffer has no terminator");
    if (text.size() > 256) return fail(name + ": the text is longer than 256 units");
    if (shownText(v->field) != text)
      return fail(name + ": the field shows \"" + shownText(v->field).toStdString() + "\" but the text is \"" +
                  text.toStdString() + "\"");
    if (decodeUnitBytes(QByteArray(buffer, int(bytes))) != text)
      return fail(name + ": the text buffer \"" + std::string(buffer, bytes) + "\" does not hold the text \"" +
                  text.toStdString() + "\"");
    const QString state = v->singLabel->text();
    const int sing = v->controls[4]->value();
    if (!((state == QLatin1String("ON") && sing == 1) ||
          ((state == QLatin1String("OFF") || state == QLatin1String("off")) && sing == 0)))
      return fail(name + ": the sing label reads " + state.toStdString() + " with the switch at " +
                  std::to_string(sing));
  }
}

void Torture::checkIdle() {
  ++m_idles;
  if (!torture::runUntilIdle()) return fail("the run loop never came to rest");
  for (const auto& v : m_live) {
    const std::string name = "view " + std::to_string(v->serial);
    const UnitSlot& s = m_units[v->unit];
    if (s.textFailureAt < 0 || s.textReportedAt > s.textFailureAt) {
      const std::string stored = storedText(v->unit);
      if (stored != EditorAccess::buffer(v->editor))
        return fail(name + ": the unit holds \"" + stored + "\" but the editor's buffer \"" +
                    EditorAccess::buffer(v->editor) + "\"");
    }
    for (int i = 0; i < chaos::kParamCount; ++i) {
      if (s.paramFailureAt >= 0 && s.reportedAt[i] <= s.paramFailureAt) continue;
      const double value = unitParameter(v->unit, i);
      if (std::isnan(value) && i < 4) continue;  // no position to show; the slider keeps its own
      const QSlider* slider = v->controls[i];
      const int expected =
          i >= 4 ? (value < 0.5 ? 0 : 1)
                 : int(std::clamp(std::trunc(value), double(slider->minimum()), double(slider->maximum())));
      if (slider->value() != expected)
        return fail(name + ": control " + std::to_string(i) + " shows " + std::to_string(slider->value()) +
                    " for the unit's " + std::to_string(value));
    }
  }
  int panels = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) panels += qobject_cast<QMacNativeWidget*>(w) != nullptr;
  if (panels != int(m_live.size()))
    fail(std::to_string(panels) + " panel containers exist for " + std::to_string(m_live.size()) + " views");
}

int Torture::run() {
  if (m_nsPerEvent >= 0) {
    GlimmCFSetLogicalClock(&logicalNow);
    torture::logicalClock = &logicalNow;
    torture::advanceLogicalClock = [](SInt64 to) { gLogicalNs.store(to, std::memory_order_relaxed); };
  }
  const char* bundle = std::getenv("GLIMM_EDITOR_BUNDLE");
  chaos::registerComponents(bundle && *bundle ? bundle : GLIMM_EDITOR_BUNDLE);
  for (int u = 0; u < 2; ++u) {
    m_units[u].inst = chaos::newInstance(u);
    if (!m_units[u].inst.unit) {
      std::fprintf(stderr, "cannot make torture unit %d\n", u);
      return 2;
    }
    m_units[u].inst.unit->rng.seed(m_seed * 2 + uint64_t(u));
  }
  if (!m_voice.open()) {
    std::fprintf(stderr, "cannot open the speech unit %s\n", GLIMM_SPEECH_UNIT_PATH);
    return 2;
  }
  m_units[kVoice].inst.au = m_voice.au;
  m_handler = new CountingHandler;
  NSAssertionHandler::setCurrentHandler(m_handler);

  QElapsedTimer clock;
  clock.start();
  for (m_event = 0; m_event < m_events && !m_failed; ++m_event) {
    if (m_nsPerEvent > 0) gLogicalNs.fetch_add(m_nsPerEvent, std::memory_order_relaxed);
    m_current.clear();
    m_opened = false;
    try {
      step();
      log(m_current);
      afterEvent();
    } catch (const std::exception& e) {
      fail(std::string("an exception escaped: ") + e.what());
    } catch (...) {
      fail("an exception escaped");
    }
  }
  if (!m_failed) {
    m_current = "final idle";
    checkIdle();
  }
  if (!m_failed && m_opens < m_cycles)
    fail("only " + std::to_string(m_opens) + " views opened for " + std::to_string(m_cycles));

  while (!m_live.empty()) closeView(m_live.size() - 1);
  torture::runUntilIdle();
  for (int u = 0; u < 2; ++u) {
    if (!m_failed && !m_units[u].inst.unit->listeners.empty()) fail("a released view left a listener on a unit");
    AudioComponentInstanceDispose(m_units[u].inst.au);
  }
  const long voiceBlocks = m_voice.blocks.load(), voiceHeard = m_voice.heard.load();
  m_voice.close();
  int panels = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) panels += qobject_cast<QMacNativeWidget*>(w) != nullptr;
  if (!m_failed && panels) fail("released views left panel containers behind");
  NSAssertionHandler::setCurrentHandler(nullptr);
  m_handler->release();

  std::printf(
      "%s: seed %llu, %ld events in %.1f s: %ld views opened (%ld of the speech unit), %ld parameter writes, %ld "
      "plays, "
      "%ld unit parameter changes, %ld unit texts (%ld checked as shown), %ld About boxes, "
      "%ld injected failures, %ld idle checks; event log hash %016llx\n",
      m_failed ? "FAILED" : "passed", (unsigned long long)m_seed, m_event, double(clock.elapsed()) / 1000, m_opens,
      m_voiceOpens, m_setsTotal, m_playsTotal, m_automations, m_unitTexts, m_oracles, m_aboutBoxes, m_injected, m_idles,
      (unsigned long long)m_logHash);
  // Apart, since it depends on the machine's speed.
  std::printf("the speech unit's render thread: %ld blocks, %ld with sound\n", voiceBlocks, voiceHeard);
  return m_failed ? 1 : 0;
}

long argument(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const long events = argument(argc, argv, "--events", 3000);
  const uint64_t seed = uint64_t(argument(argc, argv, "--seed", 1));
  const long cycles = argument(argc, argv, "--cycles", events >= 30000 ? 1000 : 100);
  const long idleEvery = argument(argc, argv, "--idle-every", 25);
  // --us-per-event -1: the machine's own clock, as before (runs then depend on its speed).
  const long usPerEvent = std::max(-1L, argument(argc, argv, "--us-per-event", 3000));
  Torture t(seed, events, cycles, idleEvery, usPerEvent);
  return t.run();
}
