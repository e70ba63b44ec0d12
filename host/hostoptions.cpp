#include "hostoptions.h"

#include "GlimmContract.h"
#include "unittext.h"

#include <cmath>

namespace {

// "pitch, speed, mouth, throat, sing"
QString parameterNames() {
  QStringList names;
  for (const GlimmParameterFacts& p : kGlimmParameters) names << QLatin1String(p.symbol);
  return names.join(QStringLiteral(", "));
}

// "pitch 0..255, speed 20..200, ..., sing 0|1|on|off", over as many help lines as it takes
QString parameterRanges() {
  QStringList ranges;
  for (const GlimmParameterFacts& p : kGlimmParameters)
    ranges << (p.toggle ? QStringLiteral("%1 %2|%3|on|off").arg(QLatin1String(p.symbol)).arg(p.minimum).arg(p.maximum)
                        : QStringLiteral("%1 %2..%3").arg(QLatin1String(p.symbol)).arg(p.minimum).arg(p.maximum));
  // Wrapped to the help's column, so a parameter added later keeps it tidy.
  QString text, line;
  for (qsizetype i = 0; i < ranges.size(); ++i) {
    const QString item = ranges[i] + (i + 1 < ranges.size() ? QStringLiteral(",") : QString());
    if (!line.isEmpty() && line.size() + 1 + item.size() > 72) {
      text += line + QStringLiteral("\n                       ");
      line.clear();
    }
    line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + item;
  }
  return text + line;
}

bool parseSet(const QString& arg, HostOptions& o, QString* error) {
  const int eq = arg.indexOf('=');
  if (eq <= 0) {
    *error = QStringLiteral("--set expects NAME=VALUE, got \"%1\"").arg(arg);
    return false;
  }
  const QString name = arg.left(eq).trimmed().toLower();
  const QString valueText = arg.mid(eq + 1).trimmed();
  for (const GlimmParameterFacts& p : kGlimmParameters) {
    if (name != QLatin1String(p.symbol)) continue;
    float value;
    if (p.toggle) {
      const QString v = valueText.toLower();
      if (v == "on" || v == "1") {
        value = 1.f;
      } else if (v == "off" || v == "0") {
        value = 0.f;
      } else {
        *error = QStringLiteral("--set %1: \"%2\" is not a switch value; %1 takes %3, %4, on or off")
                     .arg(name, valueText)
                     .arg(p.minimum)
                     .arg(p.maximum);
        return false;
      }
    } else {
      bool ok = false;
      const double d = valueText.toDouble(&ok);
      if (!ok || !std::isfinite(d)) {
        *error = QStringLiteral("--set %1: \"%2\" is not a number").arg(name, valueText);
        return false;
      }
      if (d < p.minimum || d > p.maximum) {
        *error = QStringLiteral("--set %1: %2 is outside %3..%4").arg(name, valueText).arg(p.minimum).arg(p.maximum);
        return false;
      }
      value = static_cast<float>(d);
    }
    o.params.emplace_back(unsigned(p.index), value);
    return true;
  }
  *error = QStringLiteral("--set: unknown parameter \"%1\" (%2)").arg(name, parameterNames());
  return false;
}

// Walks the command line one option at a time; an option's value is given
// inline ("--wav=a.wav") or as the next argument.
class ArgumentReader {
 public:
  explicit ArgumentReader(const QStringList& arguments) : m_arguments(arguments) {}
  // Moves to the next option; false past the last.
  bool next() {
    if (++m_at >= m_arguments.size()) return false;
    m_name = m_arguments.at(m_at);
    const qsizetype eq = m_name.indexOf('=');
    m_hasInline = m_name.startsWith("--") && eq >= 0;
    if (m_hasInline) {
      m_inline = m_name.mid(eq + 1);
      m_name = m_name.left(eq);
    }
    return true;
  }
  // The option's name, without an inline value.
  const QString& name() const { return m_name; }
  // The argument as the user wrote it.
  const QString& written() const { return m_arguments.at(m_at); }
  bool value(QString* out, QString* error) {
    if (m_hasInline) {
      *out = m_inline;
      return true;
    }
    if (m_at + 1 >= m_arguments.size()) {
      *error = QStringLiteral("%1 needs a value").arg(m_name);
      return false;
    }
    *out = m_arguments.at(++m_at);
    return true;
  }
  bool flag(bool* out, QString* error) {
    if (m_hasInline) {
      *error = QStringLiteral("%1 takes no value").arg(m_name);
      return false;
    }
    *out = true;
    return true;
  }

 private:
  const QStringList& m_arguments;
  qsizetype m_at = 0;  // the program's name is not an option
  QString m_name, m_inline;
  bool m_hasInline = false;
};

struct FlagOption {
  const char* name;
  bool HostOptions::*field;
};
constexpr FlagOption kFlagOptions[] = {
    {"--help", &HostOptions::help},
    {"-h", &HostOptions::help},
    {"--version", &HostOptions::version},
    {"--speak", &HostOptions::speak},
    {"--no-window", &HostOptions::noWindow},
    {"--quit-after-speech", &HostOptions::quitAfterSpeech},
    {"--list-devices", &HostOptions::listDevices},
    {"--fresh", &HostOptions::fresh},
    {"--list-voices", &HostOptions::listVoices},
    {"--midi", &HostOptions::midi},
    {"--list-midi", &HostOptions::listMidi},
};

// Options that name a file, a path or a device, none of which may be empty.
struct NameOption {
  const char* name;
  QString HostOptions::*field;
  const char* whenEmpty;
};
constexpr NameOption kNameOptions[] = {
    {"--render", &HostOptions::renderPath, "--render needs a file name"},
    {"--unit", &HostOptions::unitPath, "--unit needs a path"},
    {"--wav", &HostOptions::wavPath, "--wav needs a file name"},
    {"--screenshot", &HostOptions::screenshotPath, "--screenshot needs a file name"},
    {"--preset", &HostOptions::presetPath, "--preset needs a file name"},
    {"--save-preset", &HostOptions::savePresetPath, "--save-preset needs a file name"},
    {"--device", &HostOptions::deviceName, "--device needs a name; glimm-host --list-devices lists them"},
};

bool takeText(ArgumentReader& args, HostOptions& o, QString* error) {
  if (!args.value(&o.text, error)) return false;
  o.hasText = true;
  if (o.text.toUtf8().size() <= kGlimmTextMaxBytes) return true;
  *error = QStringLiteral("--text is %1 bytes long; the unit holds at most %2")
               .arg(o.text.toUtf8().size())
               .arg(int(kGlimmTextMaxBytes));
  return false;
}

bool takeRate(ArgumentReader& args, HostOptions& o, QString* error) {
  QString v;
  if (!args.value(&v, error)) return false;
  bool ok = false;
  const int rate = v.toInt(&ok);
  if (!ok || rate < 8000 || rate > 192000) {
    *error = QStringLiteral("--rate: \"%1\" is not a sample rate between 8000 and 192000").arg(v);
    return false;
  }
  o.sampleRate = rate;
  return true;
}

bool takeVoice(ArgumentReader& args, HostOptions& o, QString* error) {
  if (!args.value(&o.voice, error)) return false;
  if (o.voice.isEmpty())
    *error = QStringLiteral("--voice needs a voice name (glimm-host --list-voices lists them)");
  else if (o.voice.toUtf8().size() > kGlimmVoiceMaxBytes)
    *error = QStringLiteral("--voice: \"%1\" is longer than any voice name").arg(o.voice);
  else
    return true;
  return false;
}

bool takeOption(ArgumentReader& args, HostOptions& o, QString* error) {
  const QString& name = args.name();
  for (const FlagOption& f : kFlagOptions)
    if (name == QLatin1String(f.name)) return args.flag(&(o.*f.field), error);
  for (const NameOption& n : kNameOptions) {
    if (name != QLatin1String(n.name)) continue;
    QString& out = o.*n.field;
    if (!args.value(&out, error)) return false;
    if (out.isEmpty()) {
      *error = QLatin1String(n.whenEmpty);
      return false;
    }
    return true;
  }
  if (name == "--text") return takeText(args, o, error);
  if (name == "--rate") return takeRate(args, o, error);
  if (name == "--voice") return takeVoice(args, o, error);
  if (name == "--set") {
    QString v;
    return args.value(&v, error) && parseSet(v, o, error);
  }
  *error = QStringLiteral("unknown option \"%1\"").arg(args.written());
  return false;
}

// What --render cannot go with, or null.
const char* renderClash(const HostOptions& o) {
  if (!o.wavPath.isEmpty()) return "--render writes its own file; it cannot go with --wav";
  if (!o.screenshotPath.isEmpty()) return "--render opens no window; it cannot go with --screenshot";
  if (!o.deviceName.isEmpty()) return "--render plays through no audio device; it cannot go with --device";
  if (o.midi) return "--render plays no live notes; it cannot go with --midi";
  return nullptr;
}

// What the options mean together; --render stands for a windowless spoken run.
bool checkTogether(HostOptions& o, QString* error) {
  if (!o.renderPath.isEmpty()) {
    if (const char* clash = renderClash(o)) {
      *error = QLatin1String(clash);
      return false;
    }
    // Nothing but the file: no window, and the text is spoken to its end.
    o.noWindow = o.speak = o.quitAfterSpeech = true;
  }
  // Without the window's SPEAK!, --speak or a note, nothing would start the speech it waits for.
  if (o.quitAfterSpeech && o.noWindow && !o.speak && !o.midi) {
    *error = QStringLiteral(
        "--quit-after-speech with --no-window waits for the speech --speak (or --midi) starts; add --speak");
    return false;
  }
  if (o.noWindow && !o.screenshotPath.isEmpty()) {
    *error = QStringLiteral("--screenshot needs the window; it cannot go with --no-window");
    return false;
  }
  // The editor would cut a longer text to what its field shows.
  if (!o.noWindow && o.hasText && o.text.size() > kGlimmFieldMaxLength) {
    *error = QStringLiteral(
                 "--text is %1 characters long; the editor's field shows at most %2 "
                 "(with --no-window the unit takes up to %3 bytes)")
                 .arg(o.text.size())
                 .arg(kGlimmFieldMaxLength)
                 .arg(int(kGlimmTextMaxBytes));
    return false;
  }
  return true;
}

}  // namespace

QString hostUsage() {
  return QStringLiteral(
             "Usage: glimm-host [options]\n"
             "Loads the speech unit, opens its editor and plays what it says.\n"
             "\n"
             "  --unit PATH          speech unit module to load (default: the one beside glimm-host)\n"
             "  --text TEXT          set the unit's text before the editor opens (at most %2 characters,\n"
             "                       as many as the editor's field shows; with --no-window at most %3 bytes)\n"
             "  --set NAME=VALUE     set a parameter; repeatable. Names and ranges:\n"
             "                       %1\n"
             "  --speak              speak once the editor is shown\n"
             "  --wav FILE           also write everything the unit renders to FILE (WAV, 16-bit)\n"
             "  --rate HZ            sample rate, 8000..192000 (default 48000)\n"
             "  --screenshot FILE    save a PNG of the window once the editor is shown and filled\n"
             "  --no-window          run without the editor window (no display needed)\n"
             "  --quit-after-speech  exit when the unit has finished the utterance and it has been heard\n"
             "                       (with --no-window it needs --speak or --midi)\n"
             "  --render FILE        render the text to FILE (WAV, 16-bit) as fast as the voice can, with no\n"
             "                       audio device and no window, then exit\n"
             "  --preset FILE        apply the text and settings saved in FILE (before --set and --text)\n"
             "  --save-preset FILE   save the text and settings, as the other options leave them, to FILE\n"
             "                       and exit\n"
             "  --fresh              start from the defaults instead of the last run's text and settings\n"
             "  --device NAME        play through the audio output device NAME\n"
             "  --list-devices       list the names --device takes, the default first, and exit\n"
             "  --voice NAME         speak with this espeak-ng voice (default %5); see --list-voices\n"
             "  --list-voices        list the voices (name, languages, description) and exit\n"
             "  --midi               open a MIDI input port named Glimm (ALSA sequencer or JACK) and play\n"
             "                       the notes other programs send to it\n"
             "  --list-midi          list the MIDI sources that can be connected to it and exit\n"
             "  --version            print the version and exit\n"
             "  --help               show this text\n"
             "\n"
             "Without a display run it as: xvfb-run -a glimm-host ..., or QT_QPA_PLATFORM=offscreen glimm-host ...\n"
             "\n"
             "Exit status:\n"
             "  0    done; with --quit-after-speech or --render, the utterance was spoken to its end\n"
             "  1    the unit, its editor, a settings file, the audio file (made or written) or the screenshot\n"
             "       failed, or the audio device stopped asking for sound (a JACK server that quit)\n"
             "  2    bad command line (an unknown --device or --voice too), or no display for the editor\n"
             "  3    --quit-after-speech, --render: the utterance had not ended after %4 seconds\n"
             "  4    --speak, --render: nothing to speak (the text is empty, or nothing in it can be said)\n"
             "  130  ended by SIGINT (Ctrl+C); the audio file is complete up to then\n"
             "  143  ended by SIGTERM; likewise\n")
      .arg(parameterRanges())
      .arg(kGlimmFieldMaxLength)
      .arg(int(kGlimmTextMaxBytes))
      .arg(kHostSpeechTimeoutSeconds)
      .arg(QLatin1String(kGlimmDefaultVoice));
}

QString hostVersionLine() { return QStringLiteral("glimm-host " GLIMM_VERSION); }

std::optional<HostOptions> parseHostOptions(const QStringList& arguments, QString* error) {
  HostOptions o;
  ArgumentReader args(arguments);
  while (args.next())
    if (!takeOption(args, o, error)) return std::nullopt;
  if (!checkTogether(o, error)) return std::nullopt;
  return o;
}
