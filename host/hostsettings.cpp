#include "hostsettings.h"

#include "GlimmContract.h"
#include "unithost.h"
#include "unittext.h"

#include <AudioToolbox/AudioToolbox.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <utility>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>
#include <cstring>

namespace {

constexpr char kFormatKey[] = "glimm-host settings";
constexpr int kFormatVersion = 1;
// Far more than any settings document needs; a larger file is something else.
constexpr qint64 kMaxFileBytes = 64 * 1024;

QString parameterNames() {
  QStringList names;
  for (const GlimmParameterFacts& p : kGlimmParameters) names << QLatin1String(p.symbol);
  return names.join(QStringLiteral(", "));
}

// What a settings file holds where it should not, in the words of its format.
QString typeName(const QJsonValue& v) {
  static const std::pair<QJsonValue::Type, const char*> kNames[] = {
      {QJsonValue::Null, "null"},       {QJsonValue::Bool, "true/false"}, {QJsonValue::Double, "a number"},
      {QJsonValue::String, "a string"}, {QJsonValue::Array, "a list"},    {QJsonValue::Object, "an object"},
  };
  for (const auto& [type, name] : kNames)
    if (v.type() == type) return QLatin1String(name);
  return QStringLiteral("nothing");
}

bool parseParameter(const GlimmParameterFacts& p, const QJsonValue& v, float* out, QString* error) {
  const QString name = QLatin1String(p.symbol);
  if (p.toggle) {
    if (v.isBool()) {
      *out = v.toBool() ? p.maximum : p.minimum;
      return true;
    }
    if (v.isDouble() && (v.toDouble() == p.minimum || v.toDouble() == p.maximum)) {
      *out = float(v.toDouble());
      return true;
    }
    *error = QStringLiteral("\"%1\" is a switch: true, false, %2 or %3, not %4")
                 .arg(name)
                 .arg(p.minimum)
                 .arg(p.maximum)
                 .arg(v.isDouble() ? QString::number(v.toDouble()) : typeName(v));
    return false;
  }
  if (!v.isDouble()) {
    *error = QStringLiteral("\"%1\" must be a number, not %2").arg(name, typeName(v));
    return false;
  }
  const double d = v.toDouble();
  if (!std::isfinite(d) || d < p.minimum || d > p.maximum) {
    *error = QStringLiteral("\"%1\" is %2, outside %3..%4").arg(name).arg(d).arg(p.minimum).arg(p.maximum);
    return false;
  }
  *out = float(d);
  return true;
}

bool checkText(const QString& text, HostTextLimit limit, QString* error) {
  if (text.contains(QChar(0))) {
    *error = QStringLiteral("\"text\" holds a NUL character");
    return false;
  }
  const qsizetype bytes = text.toUtf8().size();
  if (bytes > qsizetype(kGlimmTextMaxBytes)) {
    *error = QStringLiteral("\"text\" is %1 bytes long; the unit holds at most %2").arg(bytes).arg(kGlimmTextMaxBytes);
    return false;
  }
  if (limit.window && text.size() > kGlimmFieldMaxLength) {
    *error = QStringLiteral("\"text\" is %1 characters long; the editor's field shows at most %2")
                 .arg(text.size())
                 .arg(kGlimmFieldMaxLength);
    return false;
  }
  return true;
}

}  // namespace

std::optional<HostSettings> parseHostSettings(const QByteArray& json, HostTextLimit limit, QString* error) {
  QJsonParseError parseError;
  const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    *error = QStringLiteral("not JSON: %1 at byte %2").arg(parseError.errorString()).arg(parseError.offset);
    return std::nullopt;
  }
  if (!doc.isObject()) {
    *error = QStringLiteral("not a settings document: the JSON is not an object");
    return std::nullopt;
  }
  const QJsonObject root = doc.object();
  const QJsonValue format = root.value(QLatin1String(kFormatKey));
  if (!format.isDouble()) {
    *error = QStringLiteral("not a settings document: the key \"%1\" is missing").arg(QLatin1String(kFormatKey));
    return std::nullopt;
  }
  if (format.toDouble() != kFormatVersion) {
    *error = QStringLiteral("settings format %1 is not known here (this glimm-host reads %2)")
                 .arg(format.toDouble())
                 .arg(kFormatVersion);
    return std::nullopt;
  }
  HostSettings s;
  for (auto it = root.begin(); it != root.end(); ++it) {
    const QString key = it.key();
    const QJsonValue v = it.value();
    if (key == QLatin1String(kFormatKey)) continue;
    if (key == QLatin1String("text")) {
      if (!v.isString()) {
        *error = QStringLiteral("\"text\" must be a string, not %1").arg(typeName(v));
        return std::nullopt;
      }
      if (!checkText(v.toString(), limit, error)) return std::nullopt;
      s.text = v.toString();
    } else if (key == QLatin1String("voice")) {
      if (!v.isString()) {
        *error = QStringLiteral("\"voice\" must be a string, not %1").arg(typeName(v));
        return std::nullopt;
      }
      s.voice = v.toString();
    } else if (key == QLatin1String("parameters")) {
      if (!v.isObject()) {
        *error = QStringLiteral("\"parameters\" must be an object of names and values, not %1").arg(typeName(v));
        return std::nullopt;
      }
      const QJsonObject params = v.toObject();
      for (auto p = params.begin(); p != params.end(); ++p) {
        const GlimmParameterFacts* facts = glimmParameterBySymbol(p.key().toUtf8().constData());
        if (!facts) {
          *error = QStringLiteral("unknown parameter \"%1\" (%2)").arg(p.key(), parameterNames());
          return std::nullopt;
        }
        float value = 0;
        if (!parseParameter(*facts, p.value(), &value, error)) return std::nullopt;
        s.parameters.emplace_back(unsigned(facts->index), value);
      }
    } else {
      *error = QStringLiteral("unknown key \"%1\" (text, parameters, voice)").arg(key);
      return std::nullopt;
    }
  }
  return s;
}

QByteArray hostSettingsJson(const HostSettings& settings) {
  QJsonObject root;
  root.insert(QLatin1String(kFormatKey), kFormatVersion);
  if (settings.text) root.insert(QStringLiteral("text"), *settings.text);
  QJsonObject params;
  for (const auto& [id, value] : settings.parameters) {
    for (const GlimmParameterFacts& p : kGlimmParameters) {
      if (unsigned(p.index) != id) continue;
      if (p.toggle)
        params.insert(QLatin1String(p.symbol), value >= 0.5f);
      else
        params.insert(QLatin1String(p.symbol), double(value));
    }
  }
  if (!params.isEmpty()) root.insert(QStringLiteral("parameters"), params);
  if (settings.voice) root.insert(QStringLiteral("voice"), *settings.voice);
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<HostSettings> readHostSettings(const QString& path, HostTextLimit limit, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read the settings file %1: %2").arg(path, file.errorString());
    return std::nullopt;
  }
  if (file.size() > kMaxFileBytes) {
    *error = QStringLiteral("the settings file %1 is %2 bytes; a settings file is under %3")
                 .arg(path)
                 .arg(file.size())
                 .arg(kMaxFileBytes);
    return std::nullopt;
  }
  const QByteArray bytes = file.read(kMaxFileBytes + 1);
  QString why;
  std::optional<HostSettings> s = parseHostSettings(bytes, limit, &why);
  if (!s) *error = QStringLiteral("the settings file %1 is not usable: %2").arg(path, why);
  return s;
}

bool writeHostSettings(const QString& path, const HostSettings& settings, QString* error) {
  QSaveFile file(path);
  const QByteArray bytes = hostSettingsJson(settings);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    *error = QStringLiteral("cannot write the settings file %1: %2").arg(path, file.errorString());
    return false;
  }
  return true;
}

std::optional<HostSettings> captureHostSettings(AudioUnit unit, QString* error) {
  HostSettings s;
  for (const GlimmParameterFacts& p : kGlimmParameters) {
    AudioUnitParameterValue value = 0;
    const OSStatus err = AudioUnitGetParameter(unit, AudioUnitParameterID(p.index), kAudioUnitScope_Global, 0, &value);
    if (err != noErr) {
      *error = QStringLiteral("the unit did not give its %1 (status %2)").arg(QLatin1String(p.symbol)).arg(err);
      return std::nullopt;
    }
    s.parameters.emplace_back(unsigned(p.index), value);
  }
  std::string text, voice;
  const OSStatus err =
      readFixedStringProperty(unit, kGlimmProperty_Text, kGlimmTextBufferSize, kGlimmTextMaxBytes, &text);
  if (err != noErr) {
    *error = QStringLiteral("the unit did not give its text (status %1)").arg(err);
    return std::nullopt;
  }
  s.text = QString::fromStdString(text);
  // A unit without a choice of voice has nothing to save here.
  if (readFixedStringProperty(unit, kGlimmProperty_Voice, kGlimmVoiceBufferSize, kGlimmVoiceMaxBytes, &voice) == noErr)
    s.voice = QString::fromStdString(voice);
  return s;
}

bool applyHostSettings(AudioUnit unit, const HostSettings& settings, QString* error) {
  // The voice first: it is the one thing the unit itself may refuse (a voice
  // not installed here), and then nothing else has changed yet.
  if (settings.voice) {
    char voice[kGlimmVoiceBufferSize] = {};
    const QByteArray utf8 = settings.voice->toUtf8();
    if (utf8.size() > kGlimmVoiceMaxBytes) {
      *error = QStringLiteral("\"voice\" is longer than any voice name");
      return false;
    }
    std::memcpy(voice, utf8.constData(), size_t(utf8.size()));
    const OSStatus err =
        AudioUnitSetProperty(unit, kGlimmProperty_Voice, kAudioUnitScope_Global, 0, voice, sizeof voice);
    if (err != noErr) {
      *error =
          QStringLiteral("the unit has no voice \"%1\" (glimm-host --list-voices lists them)").arg(*settings.voice);
      return false;
    }
  }
  for (const auto& [id, value] : settings.parameters) {
    AudioUnitParameter p = {unit, id, kAudioUnitScope_Global, 0};
    // As host automation does, so an open editor follows.
    if (const OSStatus err = AUParameterSet(nullptr, nullptr, &p, value, 0); err != noErr) {
      *error = QStringLiteral("the unit refused parameter %1 = %2 (status %3)").arg(id).arg(value).arg(err);
      return false;
    }
  }
  if (settings.text) {
    char buffer[kGlimmTextBufferSize] = {};
    const QByteArray utf8 = settings.text->toUtf8();
    std::memcpy(buffer, utf8.constData(), std::min<size_t>(size_t(utf8.size()), kGlimmTextMaxBytes));
    const OSStatus err =
        AudioUnitSetProperty(unit, kGlimmProperty_Text, kAudioUnitScope_Global, 0, buffer, sizeof buffer);
    if (err != noErr) {
      *error = QStringLiteral("the unit refused the text (status %1)").arg(err);
      return false;
    }
  }
  return true;
}

QString lastRunSettingsPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/glimm-host/last-run.json");
}

LastRunRestore restoreLastRun(AudioUnit unit, HostTextLimit limit, QString* error) {
  const QString path = lastRunSettingsPath();
  if (!QFileInfo::exists(path)) return LastRunRestore::NoFile;
  const std::optional<HostSettings> last = readHostSettings(path, limit, error);
  if (last && applyHostSettings(unit, *last, error)) return LastRunRestore::Restored;
  const QString aside = path + ".bad";
  QFile::remove(aside);
  const bool moved = QFile::rename(path, aside);
  *error +=
      moved ? "; it is kept as " + aside + " and this run starts fresh" : QStringLiteral("; this run starts fresh");
  return LastRunRestore::SetAside;
}

bool saveLastRun(AudioUnit unit, QString* error) {
  const std::optional<HostSettings> now = captureHostSettings(unit, error);
  if (!now) return false;
  const QString path = lastRunSettingsPath();
  const QString folder = QFileInfo(path).path();
  if (!QDir().mkpath(folder)) {
    *error = "cannot make the folder " + folder;
    return false;
  }
  return writeHostSettings(path, *now, error);
}
