#include "speechendwatcher.h"

#include "audiooutput.h"
#include "hostoptions.h"
#include "unithost.h"

#include <QCoreApplication>

SpeechEndWatcher::SpeechEndWatcher(const UnitHost& unit, const AudioOutput& audio) : m_unit(unit), m_audio(audio) {
  connect(&m_timer, &QTimer::timeout, this, [this] { check(); });
}

void SpeechEndWatcher::startWatching(bool played) {
  m_startFrame = m_audio.framesRendered();
  m_seenSpeaking = played;
  m_clock.start();
  m_timer.start(50);
}

void SpeechEndWatcher::finish(int code) {
  m_timer.stop();
  QCoreApplication::exit(code);
}

void SpeechEndWatcher::check() {
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
