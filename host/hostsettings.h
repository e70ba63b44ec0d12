// Settings files of glimm-host: the unit's text and parameters (and the
// voice, where a unit offers one) as a small JSON document, for presets the
// user opens and saves and for the state one run leaves to the next.
//
//   {
//     "glimm-host settings": 1,
//     "text": "Hello there.",
//     "parameters": { "pitch": 128, "speed": 100, "mouth": 128, "throat": 128, "sing": false },
//     "voice": "en"
//   }
//
// Every key but the format marker may be left out; what is left out stays as
// it is. Parameter names are the symbols of the contract's table, so new
// parameters are read and written without changes here. Main thread only.
#pragma once

#include <AudioUnit/AudioUnit.h>

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

struct HostSettings {
  std::optional<QString> text;
  std::vector<std::pair<unsigned, float>> parameters;  // parameter ID, value
  std::optional<QString> voice;                        // an espeak-ng voice name
};

// The longest text a settings file may hold: the unit's limit, and with the
// editor window also what its field shows.
struct HostTextLimit {
  bool window = false;
};

// Parses a settings document. Null with `error` saying what is wrong (and
// where) when any part of it is; nothing is half-read.
std::optional<HostSettings> parseHostSettings(const QByteArray& json, HostTextLimit limit, QString* error);
QByteArray hostSettingsJson(const HostSettings& settings);

// Reads a file; the error names it.
std::optional<HostSettings> readHostSettings(const QString& path, HostTextLimit limit, QString* error);
// Writes through a temporary file renamed into place, so an existing file is
// either replaced whole or left as it was.
bool writeHostSettings(const QString& path, const HostSettings& settings, QString* error);

// The unit's text and every parameter in the table.
std::optional<HostSettings> captureHostSettings(AudioUnit unit, QString* error);
// Sets what the settings hold; the values were checked when they were read.
bool applyHostSettings(AudioUnit unit, const HostSettings& settings, QString* error);

// Where the last run's text and settings are kept: glimm-host/last-run.json
// in the user's configuration folder (XDG_CONFIG_HOME, else ~/.config).
QString lastRunSettingsPath();

// Restores the last run's text and settings. A file that cannot be used is
// moved aside, never lost: SetAside, with `error` saying what was wrong and
// where the file is kept now.
enum class LastRunRestore { Restored, NoFile, SetAside };
LastRunRestore restoreLastRun(AudioUnit unit, HostTextLimit limit, QString* error);
// Keeps the unit's text and settings for the next run.
bool saveLastRun(AudioUnit unit, QString* error);
