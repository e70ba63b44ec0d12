// glimm-host: loads the speech unit, opens its editor the way a Mac host
// does, plays what the unit renders, and can write it to a WAV file.
#include "audiooutput.h"
#include "editorwindow.h"
#include "hostoptions.h"
#include "hostsettings.h"
#include "midiinput.h"
#include "offlinerender.h"
#include "unithost.h"

#include <GlimmRunLoopDriver.h>

#include <QApplication>
#include <QGuiApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

void say(const QString& text) { std::fprintf(stderr, "glimm-host: %s\n", qPrintable(text)); }

bool haveDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return true;  // the user chose a platform (offscreen, vnc, …): let Qt use it
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

QStringList argumentsOf(int argc, char** argv) {
  QStringList list;
  for (int i = 0; i < argc; ++i) list << QString::fromLocal8Bit(argv[i]);
  return list;
}

// Quits once the unit has finished the utterance and the audio output has
// played the last of it; the check runs on the main thread, only while that
// wait is on. The exit status says whether anything was heard.
class SpeechEndWatcher : public QObject {
 public:
  SpeechEndWatcher(const UnitHost& unit, const AudioOutput& audio, QObject* parent)
      : QObject(parent), m_unit(unit), m_audio(audio) {
    connect(&m_timer, &QTimer::timeout, this, [this] { check(); });
  }
  // `played`: the host has just asked the unit to speak, so the utterance is
  // under way even if it ends before the first check.
  void startWatching(bool played) {
    m_startFrame = m_audio.framesRendered();
    m_seenSpeaking = played;
    m_clock.start();
    m_timer.start(50);
  }

 private:
  void finish(int code) {
    m_timer.stop();
    QCoreApplication::exit(code);
  }
  void check() {
    if (m_clock.hasExpired(kHostSpeechTimeoutSeconds * 1000LL)) {
      say(QStringLiteral("the utterance had not ended after %1 seconds").arg(kHostSpeechTimeoutSeconds));
      return finish(kHostExitTimedOut);
    }
    if (!m_draining) {
      bool speaking = false;
      if (m_unit.speaking(&speaking) != noErr) {
        say("the unit does not say when it has finished speaking; --quit-after-speech cannot work with it");
        return finish(kHostExitFailed);
      }
      if (speaking) m_seenSpeaking = true;
      if (speaking || !m_seenSpeaking) return;
      // The unit has handed over its last sample; wait until it has been
      // through the render call and the device.
      m_draining = true;
      m_drainedAt = m_audio.framesRendered() + m_audio.latencyFrames() + AudioOutput::kBlockFrames;
    }
    if (m_audio.framesRendered() < m_drainedAt) return;
    if (m_audio.lastLoudFrame() > m_startFrame) return finish(kHostExitOk);
    say("nothing to speak: the voice found nothing it could say in the text");
    finish(kHostExitNothingToSpeak);
  }
  const UnitHost& m_unit;
  const AudioOutput& m_audio;
  QTimer m_timer;
  QElapsedTimer m_clock;
  unsigned long long m_startFrame = 0, m_drainedAt = 0;
  bool m_seenSpeaking = false, m_draining = false;
};

// SIGINT and SIGTERM end the event loop like any other exit, so the audio is
// stopped, the WAV file closed and temporary files removed on the way out.
// The handler only writes the signal's number into a pipe.
int gSignalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signo) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
  (void)written;  // a full pipe already holds a signal to act on
  errno = savedErrno;
}

bool exitOnStopSignals(QObject* parent) {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, parent, [notifier] {
    unsigned char signo = 0;
    if (::read(gSignalPipe[0], &signo, 1) != 1) return;
    notifier->setEnabled(false);
    // A second signal while shutting down ends the process the default way.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    QCoreApplication::exit(kHostExitSignalBase + signo);
  });
  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

// A stop signal that has arrived, for a host that runs no event loop; 0 when none has.
int takeStopSignal() {
  unsigned char signo = 0;
  return gSignalPipe[0] >= 0 && ::read(gSignalPipe[0], &signo, 1) == 1 ? signo : 0;
}

int renderToFile(UnitHost& unit, const QString& path) {
  int signo = 0;
  const OfflineRenderResult r = renderOffline(unit, path.toStdString(), kHostSpeechTimeoutSeconds,
                                              [&signo] { return (signo = takeStopSignal()) != 0; });
  switch (r.status) {
    case OfflineRenderResult::Spoken:
      return kHostExitOk;
    case OfflineRenderResult::NothingToSpeak:
      say("nothing to speak: the voice found nothing it could say in the text");
      return kHostExitNothingToSpeak;
    case OfflineRenderResult::TimedOut:
      say(QStringLiteral("the utterance had not ended after %1 seconds; %2 holds what was rendered")
              .arg(kHostSpeechTimeoutSeconds)
              .arg(path));
      return kHostExitTimedOut;
    case OfflineRenderResult::Interrupted:
      return kHostExitSignalBase + signo;
    case OfflineRenderResult::Failed:
      break;
  }
  say(QString::fromStdString(r.error));
  return kHostExitFailed;
}

// The offscreen platform warns that it cannot reparent windows or pass on
// size hints; with no screen there is nothing either would change, so those
// two say nothing to the user. Everything else goes where it went.
QtMessageHandler gQtMessages = nullptr;

void quietOffscreenMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && (message == QLatin1String("This plugin does not support setParent!") ||
                               message == QLatin1String("This plugin does not support propagateSizeHints()")))
    return;
  if (gQtMessages) gQtMessages(type, context, message);
}

// What the field shows on a first start, instead of nothing.
constexpr char kGreeting[] = "Hello, I am Glimm. Type what I should say here, then press SPEAK! or Return.";

// The last run's text and settings, unless told to start fresh. A file that
// cannot be used is moved aside (never lost) and the host starts as on a
// first start. False when there was nothing to restore.
bool restoreLastRun(AudioUnit unit, bool window) {
  const QString path = lastRunSettingsPath();
  if (!QFileInfo::exists(path)) return false;
  QString error;
  const std::optional<HostSettings> last = readHostSettings(path, HostTextLimit{window}, &error);
  if (last && applyHostSettings(unit, *last, &error)) return true;
  const QString aside = path + ".bad";
  QFile::remove(aside);
  const bool moved = QFile::rename(path, aside);
  say(error + (moved ? "; it is kept as " + aside + " and this run starts fresh" : "; this run starts fresh"));
  return false;
}

void saveLastRun(AudioUnit unit) {
  QString error;
  const std::optional<HostSettings> now = captureHostSettings(unit, &error);
  const QString path = lastRunSettingsPath();
  if (!now || !QDir().mkpath(QFileInfo(path).path()) || !writeHostSettings(path, *now, &error))
    say("the text and settings of this run were not kept: " +
        (error.isEmpty() ? "cannot make the folder " + QFileInfo(path).path() : error));
}

// --list-voices: what the unit offers, in columns.
int listVoices(const HostOptions& opt) {
  UnitHost unit;
  const std::string unitPath = opt.unitPath.isEmpty() ? defaultUnitModulePath() : opt.unitPath.toStdString();
  std::string lines;
  if (!unit.load(unitPath, opt.sampleRate, AudioOutput::kBlockFrames * 4)) {
    say(QString::fromStdString(unit.error()));
    return kHostExitFailed;
  }
  if (unit.voiceList(&lines) != noErr || lines.empty()) {
    say("the unit lists no voices");
    return kHostExitFailed;
  }
  std::printf("%-20s %-28s %s\n", "NAME", "LANGUAGES", "DESCRIPTION");
  for (const QString& line : QString::fromStdString(lines).split('\n', Qt::SkipEmptyParts)) {
    const QStringList f = line.split('\t');
    if (f.size() == 3) std::printf("%-20s %-28s %s\n", qPrintable(f[0]), qPrintable(f[1]), qPrintable(f[2]));
  }
  return kHostExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const HostOptionsResult parsed = parseHostOptions(argumentsOf(argc, argv));
  if (!parsed.error.isEmpty()) {
    say(parsed.error);
    std::fprintf(stderr, "Try 'glimm-host --help'.\n");
    return 2;
  }
  const HostOptions& opt = parsed.options;
  if (opt.help) {
    std::fputs(qPrintable(hostUsage()), stdout);
    return 0;
  }
  if (opt.version) {
    std::printf("%s\n", qPrintable(hostVersionLine()));
    return 0;
  }
  if (opt.listDevices) {
    const auto devices = AudioOutput::listDevices();
    if (devices.empty()) say("there are no audio output devices");
    for (const auto& d : devices) std::puts(d.c_str());
    return 0;
  }
  if (opt.listMidi) {
    bool running = false;
    const auto sources = MidiInput::listSources(&running);
    if (!running) std::puts("No MIDI system is running (neither the ALSA sequencer nor a JACK server).");
    for (const auto& s : sources) std::puts(s.c_str());
    return 0;
  }
  if (opt.listVoices) return listVoices(opt);
  const bool withWindow = !opt.noWindow && opt.savePresetPath.isEmpty();
  if (withWindow && !haveDisplay()) {
    say("there is no display to show the editor on. Run it under a virtual X server,\n"
        "    xvfb-run -a glimm-host ...\n"
        "or without any screen (the panel is still built; --screenshot saves it),\n"
        "    QT_QPA_PLATFORM=offscreen glimm-host ...\n"
        "or without the editor: glimm-host --no-window ...");
    return 2;
  }

  std::unique_ptr<QCoreApplication> app;
  if (!withWindow)
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName("glimm-host");
  // Lets a desktop match the window to glimm-host.desktop and its icon.
  if (withWindow) QGuiApplication::setDesktopFileName("glimm-host");
  if (withWindow && QGuiApplication::platformName() == QLatin1String("offscreen"))
    gQtMessages = qInstallMessageHandler(quietOffscreenMessages);
  if (!exitOnStopSignals(app.get())) say("cannot catch SIGINT and SIGTERM; they will end the host abruptly");
  GlimmRunLoopDriver runLoopDriver;

  UnitHost unit;
  const std::string unitPath = opt.unitPath.isEmpty() ? defaultUnitModulePath() : opt.unitPath.toStdString();
  if (!unit.load(unitPath, opt.sampleRate, AudioOutput::kBlockFrames * 4)) {
    say(QString::fromStdString(unit.error()));
    return 1;
  }
  // Settings in the order of precedence: the last run, a preset, the command line.
  const bool restored = !opt.fresh && restoreLastRun(unit.unit(), withWindow);
  if (!restored && withWindow && !opt.hasText && opt.presetPath.isEmpty()) (void)unit.setText(kGreeting);
  if (!opt.presetPath.isEmpty()) {
    QString error;
    const std::optional<HostSettings> preset = readHostSettings(opt.presetPath, HostTextLimit{withWindow}, &error);
    if (!preset || !applyHostSettings(unit.unit(), *preset, &error)) {
      say(error);
      return 1;
    }
  }
  for (const auto& [id, value] : opt.params) {
    if (unit.setParameter(id, value) != noErr) {
      say(QStringLiteral("the unit refused parameter %1 = %2").arg(id).arg(value));
      return 1;
    }
  }
  if (!opt.voice.isEmpty() && unit.setVoice(opt.voice.toStdString()) != noErr) {
    say(QStringLiteral("the unit has no voice \"%1\"; glimm-host --list-voices lists them").arg(opt.voice));
    return kHostExitUsage;
  }
  if (opt.hasText && unit.setText(opt.text.toStdString()) != noErr) {
    say("the unit refused the text");
    return 1;
  }

  if (!opt.savePresetPath.isEmpty()) {
    QString error;
    const std::optional<HostSettings> now = captureHostSettings(unit.unit(), &error);
    if (!now || !writeHostSettings(opt.savePresetPath, *now, &error)) {
      say(error);
      return 1;
    }
    return kHostExitOk;
  }

  if (opt.speak && opt.quitAfterSpeech) {
    std::string text;
    if (unit.text(&text) == noErr && text.empty()) {
      say("nothing to speak: the unit's text is empty; give it one with --text");
      return kHostExitNothingToSpeak;
    }
  }

  if (!opt.renderPath.isEmpty()) return renderToFile(unit, opt.renderPath);

  // Outlives the audio output, whose thread hands its notes to the unit.
  std::unique_ptr<MidiInput> midi;
  AudioOutput audio(unit.unit(), unit.sampleRate());
  if (!opt.wavPath.isEmpty() && !audio.openWav(opt.wavPath.toStdString())) {
    say(QString::fromStdString(audio.error()));
    return 1;
  }
  if (!audio.start(opt.deviceName.toStdString())) {
    say(QString::fromStdString(audio.error()));
    return kHostExitUsage;
  }
  // After the audio: PortAudio's JACK client could wait for ever for its first
  // process call when the MIDI client had joined the server just before it.
  if (opt.midi) {
    midi = std::make_unique<MidiInput>(unit.unit(), unit.sampleRate());
    if (!midi->open()) {
      say(QString::fromStdString(midi->error()));
      audio.stop();
      return 1;
    }
    say(QStringLiteral("MIDI input: the %1 port %2").arg(QString::fromStdString(midi->system()), MidiInput::kPortName));
    audio.setMidiInput(midi.get());
  }
  if (!audio.hasDevice())
    say(QString::fromStdString(audio.deviceMessage()) + "; no sound is heard, but the unit keeps rendering" +
        (opt.wavPath.isEmpty() ? QString() : " into " + opt.wavPath));

  SpeechEndWatcher watcher(unit, audio, app.get());
  auto speakNow = [&] {
    if (opt.speak) (void)unit.play();  // only an uninitialised unit refuses, and load() initialised it
    if (opt.quitAfterSpeech) watcher.startWatching(opt.speak);
  };

  std::unique_ptr<EditorWindow> window;
  if (!opt.noWindow) {
    window = std::make_unique<EditorWindow>(unit.unit(), [&unit] { (void)unit.play(); });
    QString error;
    if (!window->openEditor(&error)) {
      say(error);
      audio.stop();
      return 1;
    }
    window->show();
    // Let the window be exposed and painted before it is grabbed or spoken over.
    QTimer::singleShot(300, app.get(), [&] {
      if (!opt.screenshotPath.isEmpty() && !window->saveScreenshot(opt.screenshotPath)) {
        say("could not write the screenshot " + opt.screenshotPath);
        app->exit(1);  // as an unwritable --wav does: what was asked for is not there
        return;
      }
      speakNow();
    });
  } else {
    QTimer::singleShot(0, app.get(), speakNow);
  }

  // A recording that can no longer be written is a failed run, not one to
  // find out about when the file is played.
  QTimer wavWatch;
  QObject::connect(&wavWatch, &QTimer::timeout, app.get(), [&] {
    if (audio.wavFailed()) app->exit(kHostExitFailed);
  });
  if (!opt.wavPath.isEmpty()) wavWatch.start(250);
  // Audio that has stopped for good (a JACK server that quit) ends the run
  // with a word, rather than leaving a host that neither sounds nor records.
  QTimer deviceWatch;
  QObject::connect(&deviceWatch, &QTimer::timeout, app.get(), [&] {
    if (!audio.deviceStopped()) return;
    deviceWatch.stop();
    say("the audio device has stopped asking for sound (has its JACK server quit?); glimm-host ends");
    app->exit(kHostExitFailed);
  });
  if (audio.hasDevice()) deviceWatch.start(500);

  int rc = app->exec();
  // Only runs with the window keep their state: a scripted run without it
  // must not overwrite what the user left in the editor.
  if (withWindow) saveLastRun(unit.unit());
  window.reset();
  // In the reverse order of opening: the MIDI client leaves the JACK server
  // before PortAudio's, whose close otherwise can wait on the server for ever.
  // The input object itself stays until the audio thread has stopped.
  if (midi) midi->close();
  audio.stop();
  if (audio.wavFailed()) {
    say(QString::fromStdString(audio.wavError()));
    if (rc == kHostExitOk || rc == kHostExitNothingToSpeak || rc == kHostExitTimedOut) rc = kHostExitFailed;
  }
  return rc;
}
