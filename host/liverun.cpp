#include "liverun.h"

#include "editorwindow.h"
#include "hostsettings.h"
#include "midiinput.h"
#include "unithost.h"

#include <QCoreApplication>

LiveRun::LiveRun(UnitHost& unit, const HostOptions& options)
    : m_unit(unit), m_options(options), m_audio(unit.unit(), unit.sampleRate()), m_watcher(unit, m_audio) {}

LiveRun::~LiveRun() { close(); }

int LiveRun::open() {
  if (const int status = openAudio(); status != kHostExitOk) return status;
  // After the audio: PortAudio's JACK client could wait for ever for its first
  // process call when the MIDI client had joined the server just before it.
  if (m_options.midi && !openMidi()) return kHostExitFailed;
  if (!m_audio.hasDevice())
    say(QString::fromStdString(m_audio.deviceMessage()) + "; no sound is heard, but the unit keeps rendering" +
        (m_options.wavPath.isEmpty() ? QString() : " into " + m_options.wavPath));
  if (m_options.noWindow)
    QTimer::singleShot(0, this, [this] { speakNow(); });
  else if (!openWindow())
    return kHostExitFailed;
  watchOutputs();
  return kHostExitOk;
}

int LiveRun::openAudio() {
  std::string error;
  if (!m_options.wavPath.isEmpty() && !m_audio.openWav(m_options.wavPath.toStdString(), &error)) {
    say(QString::fromStdString(error));
    return kHostExitFailed;
  }
  if (!m_audio.start(m_options.deviceName.toStdString(), &error)) {
    say(QString::fromStdString(error));
    return kHostExitUsage;
  }
  return kHostExitOk;
}

bool LiveRun::openMidi() {
  m_midi = std::make_unique<MidiInput>(m_unit.unit(), m_unit.sampleRate());
  std::string error;
  if (!m_midi->open(&error)) {
    say(QString::fromStdString(error));
    return false;
  }
  say(QStringLiteral("MIDI input: the %1 port %2").arg(QString::fromStdString(m_midi->system()), MidiInput::kPortName));
  m_audio.setMidiInput(m_midi.get());
  return true;
}

bool LiveRun::openWindow() {
  m_window = std::make_unique<EditorWindow>(m_unit.unit(), [this] { (void)m_unit.play(); });
  QString error;
  if (!m_window->openEditor(&error)) {
    say(error);
    return false;
  }
  m_window->show();
  // Let the window be exposed and painted before it is grabbed or spoken over.
  QTimer::singleShot(300, this, [this] {
    if (!m_options.screenshotPath.isEmpty() && !m_window->saveScreenshot(m_options.screenshotPath)) {
      say("could not write the screenshot " + m_options.screenshotPath);
      QCoreApplication::exit(kHostExitFailed);  // as an unwritable --wav does: what was asked for is not there
      return;
    }
    speakNow();
  });
  return true;
}

void LiveRun::speakNow() {
  if (m_options.speak) (void)m_unit.play();  // only an uninitialised unit refuses, and load() initialised it
  if (m_options.quitAfterSpeech) m_watcher.startWatching(m_options.speak);
}

void LiveRun::watchOutputs() {
  // A recording that can no longer be written is a failed run, not one to
  // find out about when the file is played.
  connect(&m_wavWatch, &QTimer::timeout, this, [this] {
    if (m_audio.wavFailed()) QCoreApplication::exit(kHostExitFailed);
  });
  if (!m_options.wavPath.isEmpty()) m_wavWatch.start(250);
  // Audio that has stopped for good (a JACK server that quit) ends the run
  // with a word, rather than leaving a host that neither sounds nor records.
  connect(&m_deviceWatch, &QTimer::timeout, this, [this] {
    if (!m_audio.deviceStopped()) return;
    m_deviceWatch.stop();
    say("the audio device has stopped asking for sound (has its JACK server quit?); glimm-host ends");
    QCoreApplication::exit(kHostExitFailed);
  });
  if (m_audio.hasDevice()) m_deviceWatch.start(500);
}

int LiveRun::exec() {
  int rc = QCoreApplication::exec();
  // Only runs with the window keep their state: a scripted run without it
  // must not overwrite what the user left in the editor.
  QString error;
  if (!m_options.noWindow && !saveLastRun(m_unit.unit(), &error))
    say("the text and settings of this run were not kept: " + error);
  close();
  std::string wavError;
  if (!m_audio.wavWritten(&wavError)) {
    say(QString::fromStdString(wavError));
    if (rc == kHostExitOk || rc == kHostExitNothingToSpeak || rc == kHostExitTimedOut) rc = kHostExitFailed;
  }
  return rc;
}

void LiveRun::close() {
  m_window.reset();
  // In the reverse order of opening: the MIDI client leaves the JACK server
  // before PortAudio's, whose close otherwise can wait on the server for ever.
  // The input object itself stays until the audio thread has stopped.
  if (m_midi) m_midi->close();
  m_audio.stop();
}
