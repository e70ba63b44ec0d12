// glimm-host: loads the speech unit, opens its editor the way a Mac host
// does, plays what the unit renders, and can write it to a WAV file.
#include "audiooutput.h"
#include "editorwindow.h"
#include "hostoptions.h"
#include "unithost.h"

#include <GlimmRunLoopDriver.h>

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

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

// Quits once an utterance has been heard and has then stayed silent for a
// while; the check runs only while that wait is on.
class SpeechEndWatcher : public QObject {
 public:
  SpeechEndWatcher(const AudioOutput& audio, double sampleRate, QObject* parent)
      : QObject(parent),
        m_audio(audio),
        m_quietFrames((unsigned long long)(sampleRate * 0.8)),
        m_limitFrames((unsigned long long)(sampleRate * 300)) {
    connect(&m_timer, &QTimer::timeout, this, [this] { check(); });
  }
  void startWatching() {
    m_startFrame = m_audio.framesRendered();
    m_timer.start(50);
  }

 private:
  void check() {
    const auto now = m_audio.framesRendered();
    const auto loud = m_audio.lastLoudFrame();
    const bool heard = loud > m_startFrame;
    if ((heard && now - loud >= m_quietFrames) || now - m_startFrame > m_limitFrames) {
      m_timer.stop();
      QCoreApplication::exit(heard ? 0 : 3);
    }
  }
  const AudioOutput& m_audio;
  QTimer m_timer;
  unsigned long long m_startFrame = 0;
  const unsigned long long m_quietFrames, m_limitFrames;
};

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
  if (opt.listDevices) {
    const auto devices = AudioOutput::listDevices();
    if (devices.empty()) std::puts("No audio output devices.");
    for (const auto& d : devices) std::puts(d.c_str());
    return 0;
  }
  if (!opt.noWindow && !haveDisplay()) {
    say("there is no display to show the editor on. Run it under a virtual X server,\n"
        "    xvfb-run -a glimm-host ...\n"
        "or without any screen (the panel is still built; --screenshot saves it),\n"
        "    QT_QPA_PLATFORM=offscreen glimm-host ...\n"
        "or without the editor: glimm-host --no-window ...");
    return 2;
  }

  std::unique_ptr<QCoreApplication> app;
  if (opt.noWindow)
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName("glimm-host");
  GlimmRunLoopDriver runLoopDriver;

  UnitHost unit;
  const std::string unitPath = opt.unitPath.isEmpty() ? defaultUnitModulePath() : opt.unitPath.toStdString();
  if (!unit.load(unitPath, opt.sampleRate, AudioOutput::kBlockFrames * 4)) {
    say(QString::fromStdString(unit.error()));
    return 1;
  }
  for (const auto& [id, value] : opt.params) {
    if (unit.setParameter(id, value) != noErr) {
      say(QStringLiteral("the unit refused parameter %1 = %2").arg(id).arg(value));
      return 1;
    }
  }
  if (opt.hasText && unit.setText(opt.text.toStdString()) != noErr) {
    say("the unit refused the text");
    return 1;
  }

  AudioOutput audio(unit.unit(), unit.sampleRate());
  if (!opt.wavPath.isEmpty() && !audio.openWav(opt.wavPath.toStdString())) {
    say(QString::fromStdString(audio.error()));
    return 1;
  }
  audio.start();
  if (!audio.hasDevice())
    say(QString::fromStdString(audio.deviceMessage()) + "; no sound is heard, but the unit keeps rendering" +
        (opt.wavPath.isEmpty() ? QString() : " into " + opt.wavPath));

  SpeechEndWatcher watcher(audio, unit.sampleRate(), app.get());
  auto speakNow = [&] {
    if (opt.speak) (void)unit.play();  // only an uninitialised unit refuses, and load() initialised it
    if (opt.quitAfterSpeech) watcher.startWatching();
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

  const int rc = app->exec();
  window.reset();
  audio.stop();
  return rc;
}
