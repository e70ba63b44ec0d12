// A live run of glimm-host: the unit played through the audio output (and
// recorded with --wav), fed by MIDI with --midi, its editor in a window
// unless --no-window, until the user, a signal or --quit-after-speech ends
// the event loop. Main thread only.
#pragma once

#include "audiooutput.h"
#include "hostoptions.h"
#include "speechendwatcher.h"

#include <QObject>
#include <QTimer>

#include <memory>

class EditorWindow;
class MidiInput;
class UnitHost;

class LiveRun : public QObject {
 public:
  LiveRun(UnitHost& unit, const HostOptions& options);
  ~LiveRun() override;
  LiveRun(const LiveRun&) = delete;
  LiveRun& operator=(const LiveRun&) = delete;

  // Opens the audio, MIDI and the window, and schedules the speech the
  // options ask for: kHostExitOk, or the status to exit with, its reason said.
  int open();
  // Runs the event loop, keeps the last run's state (with the window) and
  // closes everything; the exit status.
  int exec();

 private:
  int openAudio();
  bool openMidi();
  bool openWindow();
  void watchOutputs();
  void speakNow();
  void close();

  UnitHost& m_unit;
  const HostOptions& m_options;
  // Outlives the audio output, whose thread hands its notes to the unit.
  std::unique_ptr<MidiInput> m_midi;
  AudioOutput m_audio;
  SpeechEndWatcher m_watcher;
  std::unique_ptr<EditorWindow> m_window;
  QTimer m_wavWatch, m_deviceWatch;
};
