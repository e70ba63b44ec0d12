// Command line of glimm-host.
#pragma once

#include "hostexit.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

// How long --quit-after-speech waits for an utterance to end before it gives up.
constexpr int kHostSpeechTimeoutSeconds = 300;

struct HostOptions {
  QString unitPath;  // empty: the speech unit built beside the host
  QString text;
  bool hasText = false;
  std::vector<std::pair<unsigned, float>> params;  // parameter ID, value, in command-line order
  bool speak = false;
  QString wavPath;
  int sampleRate = 48000;
  QString screenshotPath;
  bool noWindow = false;
  bool quitAfterSpeech = false;
  bool listDevices = false;
  QString voice;  // --voice: an espeak-ng voice name; empty: the unit's own
  bool listVoices = false;
  bool midi = false;  // --midi: open a MIDI input port for other programs' notes
  bool listMidi = false;
  bool help = false;
  bool version = false;
  QString renderPath;  // --render: the WAV file to render into, as fast as the voice goes
  // Settings files and audio device.
  QString presetPath;      // --preset: settings to apply before --set and --text
  QString savePresetPath;  // --save-preset: write the settings there and exit
  bool fresh = false;      // --fresh: leave the last run's settings alone
  QString deviceName;      // --device: as --list-devices names it; empty: the default
};

// The options, or nothing with `error` saying what is wrong with the command line.
std::optional<HostOptions> parseHostOptions(const QStringList& arguments, QString* error);
QString hostUsage();
// "glimm-host 0.1.0": the project's version, as the build knows it.
QString hostVersionLine();
