// glimm-host: loads the speech unit, opens its editor the way a Mac host
// does, plays what the unit renders, and can write it to a WAV file.
#include "audiooutput.h"
#include "hostoptions.h"
#include "hostsettings.h"
#include "liverun.h"
#include "midiinput.h"
#include "offlinerender.h"
#include "stopsignals.h"
#include "unithost.h"

#include <GlimmRunLoopDriver.h>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

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

// The unit --unit names, or the one beside glimm-host.
bool loadUnit(UnitHost& unit, const HostOptions& opt, std::string* error) {
  const std::string path = opt.unitPath.isEmpty() ? defaultUnitModulePath() : opt.unitPath.toStdString();
  return unit.load(path, opt.sampleRate, AudioOutput::kBlockFrames * 4, error);
}

// --list-voices: what the unit offers, in columns.
int listVoices(const HostOptions& opt) {
  UnitHost unit;
  std::string error, lines;
  if (!loadUnit(unit, opt, &error)) {
    say(QString::fromStdString(error));
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

// --help, --version and the lists print their answer and end the run; none
// asked for, nothing.
std::optional<int> answerQuestion(const HostOptions& opt) {
  if (opt.help) {
    std::fputs(qPrintable(hostUsage()), stdout);
  } else if (opt.version) {
    std::printf("%s\n", qPrintable(hostVersionLine()));
  } else if (opt.listDevices) {
    const auto devices = AudioOutput::listDevices();
    if (devices.empty()) say("there are no audio output devices");
    for (const auto& d : devices) std::puts(d.c_str());
  } else if (opt.listMidi) {
    bool running = false;
    const auto sources = MidiInput::listSources(&running);
    if (!running) std::puts("No MIDI system is running (neither the ALSA sequencer nor a JACK server).");
    for (const auto& s : sources) std::puts(s.c_str());
  } else if (opt.listVoices) {
    return listVoices(opt);
  } else {
    return std::nullopt;
  }
  return kHostExitOk;
}

// The application, with a GUI when the editor is shown, and the stop signals caught.
std::unique_ptr<QCoreApplication> startApplication(int& argc, char** argv, bool withWindow) {
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
  return app;
}

// Loads the unit and sets it up, in the order of precedence: the last run, a
// preset, the command line. kHostExitOk, or the status to exit with.
int setUpUnit(UnitHost& unit, const HostOptions& opt, bool withWindow) {
  std::string loadError;
  if (!loadUnit(unit, opt, &loadError)) {
    say(QString::fromStdString(loadError));
    return kHostExitFailed;
  }
  QString error;
  const LastRunRestore last =
      opt.fresh ? LastRunRestore::NoFile : restoreLastRun(unit.unit(), HostTextLimit{withWindow}, &error);
  if (last == LastRunRestore::SetAside) say(error);
  if (last != LastRunRestore::Restored && withWindow && !opt.hasText && opt.presetPath.isEmpty())
    (void)unit.setText(kGreeting);
  if (!opt.presetPath.isEmpty()) {
    const std::optional<HostSettings> preset = readHostSettings(opt.presetPath, HostTextLimit{withWindow}, &error);
    if (!preset || !applyHostSettings(unit.unit(), *preset, &error)) {
      say(error);
      return kHostExitFailed;
    }
  }
  for (const auto& [id, value] : opt.params) {
    if (unit.setParameter(id, value) != noErr) {
      say(QStringLiteral("the unit refused parameter %1 = %2").arg(id).arg(value));
      return kHostExitFailed;
    }
  }
  if (!opt.voice.isEmpty() && unit.setVoice(opt.voice.toStdString()) != noErr) {
    say(QStringLiteral("the unit has no voice \"%1\"; glimm-host --list-voices lists them").arg(opt.voice));
    return kHostExitUsage;
  }
  if (opt.hasText && unit.setText(opt.text.toStdString()) != noErr) {
    say("the unit refused the text");
    return kHostExitFailed;
  }
  return kHostExitOk;
}

// --save-preset: the settings as the other options left them.
int savePreset(UnitHost& unit, const QString& path) {
  QString error;
  const std::optional<HostSettings> now = captureHostSettings(unit.unit(), &error);
  if (!now || !writeHostSettings(path, *now, &error)) {
    say(error);
    return kHostExitFailed;
  }
  return kHostExitOk;
}

// --render: the utterance into a file, as fast as the voice goes.
int renderToFile(UnitHost& unit, const QString& path) {
  int signo = 0;
  std::string error;
  const RenderOutcome outcome = renderOffline(
      unit, path.toStdString(), kHostSpeechTimeoutSeconds, [&signo] { return (signo = takeStopSignal()) != 0; },
      &error);
  switch (outcome) {
    case RenderOutcome::Spoken:
      return kHostExitOk;
    case RenderOutcome::NothingToSpeak:
      say("nothing to speak: the voice found nothing it could say in the text");
      return kHostExitNothingToSpeak;
    case RenderOutcome::TimedOut:
      say(QStringLiteral("the utterance had not ended after %1 seconds; %2 holds what was rendered")
              .arg(kHostSpeechTimeoutSeconds)
              .arg(path));
      return kHostExitTimedOut;
    case RenderOutcome::Interrupted:
      return kHostExitSignalBase + signo;
    case RenderOutcome::Failed:
      break;
  }
  say(QString::fromStdString(error));
  return kHostExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  QString error;
  const std::optional<HostOptions> parsed = parseHostOptions(argumentsOf(argc, argv), &error);
  if (!parsed) {
    say(error);
    std::fprintf(stderr, "Try 'glimm-host --help'.\n");
    return kHostExitUsage;
  }
  const HostOptions& opt = *parsed;
  if (const std::optional<int> answered = answerQuestion(opt)) return *answered;
  const bool withWindow = !opt.noWindow && opt.savePresetPath.isEmpty();
  if (withWindow && !haveDisplay()) {
    say("there is no display to show the editor on. Run it under a virtual X server,\n"
        "    xvfb-run -a glimm-host ...\n"
        "or without any screen (the panel is still built; --screenshot saves it),\n"
        "    QT_QPA_PLATFORM=offscreen glimm-host ...\n"
        "or without the editor: glimm-host --no-window ...");
    return kHostExitUsage;
  }
  const std::unique_ptr<QCoreApplication> app = startApplication(argc, argv, withWindow);
  GlimmRunLoopDriver runLoopDriver;
  UnitHost unit;
  if (const int status = setUpUnit(unit, opt, withWindow); status != kHostExitOk) return status;
  if (!opt.savePresetPath.isEmpty()) return savePreset(unit, opt.savePresetPath);
  if (opt.speak && opt.quitAfterSpeech) {
    std::string text;
    if (unit.text(&text) == noErr && text.empty()) {
      say("nothing to speak: the unit's text is empty; give it one with --text");
      return kHostExitNothingToSpeak;
    }
  }
  if (!opt.renderPath.isEmpty()) return renderToFile(unit, opt.renderPath);
  LiveRun run(unit, opt);
  if (const int status = run.open(); status != kHostExitOk) return status;
  return run.exec();
}
