// Ends glimm-host once the unit has finished the utterance and the audio
// output has played the last of it (--quit-after-speech). The exit status
// says whether anything was heard. Main thread only; it checks only while
// that wait is on.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class AudioOutput;
class UnitHost;

class SpeechEndWatcher : public QObject {
 public:
  SpeechEndWatcher(const UnitHost& unit, const AudioOutput& audio);
  // `played`: the host has just asked the unit to speak, so the utterance is
  // under way even if it ends before the first check.
  void startWatching(bool played);

 private:
  void finish(int code);
  void check();

  const UnitHost& m_unit;
  const AudioOutput& m_audio;
  QTimer m_timer;
  QElapsedTimer m_clock;
  unsigned long long m_startFrame = 0, m_drainedAt = 0;
  bool m_seenSpeaking = false, m_draining = false;
};
