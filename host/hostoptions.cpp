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

QString parseSet(const QString& arg, HostOptions& o) {
  const int eq = arg.indexOf('=');
  if (eq <= 0) return QStringLiteral("--set expects NAME=VALUE, got \"%1\"").arg(arg);
  const QString name = arg.left(eq).trimmed().toLower();
  const QString valueText = arg.mid(eq + 1).trimmed();
  for (const GlimmParameterFacts& p : kGlimmParameters) {
    if (name != QLatin1String(p.symbol)) continue;
    float value;
    if (p.toggle) {
      const QString v = valueText.toLower();
      if (v == "on" || v == "1")
        value = 1.f;
      else if (v == "off" || v == "0")
        value = 0.f;
      else
        return QStringLiteral("--set %1: \"%2\" is not a switch value; %1 takes %3, %4, on or off")
            .arg(name, valueText)
            .arg(p.minimum)
            .arg(p.maximum);
    } else {
      bool ok = false;
      const double d = valueText.toDouble(&ok);
      if (!ok || !std::isfinite(d)) return QStringLiteral("--set %1: \"%2\" is not a number").arg(name, valueText);
      if (d < p.minimum || d > p.maximum)
        return QStringLiteral("--set %1: %2 is outside %3..%4").arg(name, valueText).arg(p.minimum).arg(p.maximum);
      value = static_cast<float>(d);
    }
    o.params.emplace_back(unsigned(p.index), value);
    return {};
  }
  return QStringLiteral("--set: unknown parameter \"%1\" (%2)").arg(name, parameterNames());
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

HostOptionsResult parseHostOptions(const QStringList& arguments) {
  HostOptionsResult r;
  HostOptions& o = r.options;
  auto needValue = [&](int& i, const QString& opt, QString& out) -> bool {
    if (i + 1 >= arguments.size()) {
      r.error = QStringLiteral("%1 needs a value").arg(opt);
      return false;
    }
    out = arguments.at(++i);
    return true;
  };
  for (int i = 1; i < arguments.size() && r.error.isEmpty(); ++i) {
    QString a = arguments.at(i);
    QString inlineValue;
    bool hasInline = false;
    if (a.startsWith("--") && a.contains('=')) {
      const int eq = a.indexOf('=');
      inlineValue = a.mid(eq + 1);
      a = a.left(eq);
      hasInline = true;
    }
    auto value = [&](QString& out) -> bool {
      if (hasInline) {
        out = inlineValue;
        return true;
      }
      return needValue(i, a, out);
    };
    auto flag = [&](bool& out) {
      if (hasInline) r.error = QStringLiteral("%1 takes no value").arg(a);
      out = true;
    };
    if (a == "--help" || a == "-h") {
      flag(o.help);
    } else if (a == "--version") {
      flag(o.version);
    } else if (a == "--render") {
      if (value(o.renderPath) && o.renderPath.isEmpty()) r.error = QStringLiteral("--render needs a file name");
    } else if (a == "--unit") {
      if (value(o.unitPath) && o.unitPath.isEmpty()) r.error = QStringLiteral("--unit needs a path");
    } else if (a == "--text") {
      if (value(o.text)) {
        o.hasText = true;
        if (o.text.toUtf8().size() > kGlimmTextMaxBytes)
          r.error = QStringLiteral("--text is %1 bytes long; the unit holds at most %2")
                        .arg(o.text.toUtf8().size())
                        .arg(int(kGlimmTextMaxBytes));
      }
    } else if (a == "--set") {
      QString v;
      if (value(v)) r.error = parseSet(v, o);
    } else if (a == "--speak") {
      flag(o.speak);
    } else if (a == "--wav") {
      if (value(o.wavPath) && o.wavPath.isEmpty()) r.error = QStringLiteral("--wav needs a file name");
    } else if (a == "--rate") {
      QString v;
      if (value(v)) {
        bool ok = false;
        const int rate = v.toInt(&ok);
        if (!ok || rate < 8000 || rate > 192000)
          r.error = QStringLiteral("--rate: \"%1\" is not a sample rate between 8000 and 192000").arg(v);
        else
          o.sampleRate = rate;
      }
    } else if (a == "--screenshot") {
      if (value(o.screenshotPath) && o.screenshotPath.isEmpty())
        r.error = QStringLiteral("--screenshot needs a file name");
    } else if (a == "--no-window") {
      flag(o.noWindow);
    } else if (a == "--quit-after-speech") {
      flag(o.quitAfterSpeech);
    } else if (a == "--list-devices") {
      flag(o.listDevices);
    } else if (a == "--preset") {
      if (value(o.presetPath) && o.presetPath.isEmpty()) r.error = QStringLiteral("--preset needs a file name");
    } else if (a == "--save-preset") {
      if (value(o.savePresetPath) && o.savePresetPath.isEmpty())
        r.error = QStringLiteral("--save-preset needs a file name");
    } else if (a == "--fresh") {
      flag(o.fresh);
    } else if (a == "--device") {
      if (value(o.deviceName) && o.deviceName.isEmpty())
        r.error = QStringLiteral("--device needs a name; glimm-host --list-devices lists them");
    } else if (a == "--voice") {
      if (value(o.voice)) {
        if (o.voice.isEmpty())
          r.error = QStringLiteral("--voice needs a voice name (glimm-host --list-voices lists them)");
        else if (o.voice.toUtf8().size() > kGlimmVoiceMaxBytes)
          r.error = QStringLiteral("--voice: \"%1\" is longer than any voice name").arg(o.voice);
      }
    } else if (a == "--list-voices") {
      flag(o.listVoices);
    } else if (a == "--midi") {
      flag(o.midi);
    } else if (a == "--list-midi") {
      flag(o.listMidi);
    } else {
      r.error = QStringLiteral("unknown option \"%1\"").arg(arguments.at(i));
    }
  }
  if (r.error.isEmpty() && !o.renderPath.isEmpty()) {
    if (!o.wavPath.isEmpty())
      r.error = QStringLiteral("--render writes its own file; it cannot go with --wav");
    else if (!o.screenshotPath.isEmpty())
      r.error = QStringLiteral("--render opens no window; it cannot go with --screenshot");
    else if (!o.deviceName.isEmpty())
      r.error = QStringLiteral("--render plays through no audio device; it cannot go with --device");
    else if (o.midi)
      r.error = QStringLiteral("--render plays no live notes; it cannot go with --midi");
    // Nothing but the file: no window, and the text is spoken to its end.
    o.noWindow = o.speak = o.quitAfterSpeech = true;
  }
  // Without the window's SPEAK!, --speak or a note, nothing would start the speech it waits for.
  if (r.error.isEmpty() && o.quitAfterSpeech && o.noWindow && !o.speak && !o.midi)
    r.error = QStringLiteral(
        "--quit-after-speech with --no-window waits for the speech --speak (or --midi) starts; add --speak");
  if (r.error.isEmpty() && o.noWindow && !o.screenshotPath.isEmpty())
    r.error = QStringLiteral("--screenshot needs the window; it cannot go with --no-window");
  // The editor would cut a longer text to what its field shows.
  if (r.error.isEmpty() && !o.noWindow && o.hasText && o.text.size() > kGlimmFieldMaxLength)
    r.error = QStringLiteral(
                  "--text is %1 characters long; the editor's field shows at most %2 "
                  "(with --no-window the unit takes up to %3 bytes)")
                  .arg(o.text.size())
                  .arg(kGlimmFieldMaxLength)
                  .arg(int(kGlimmTextMaxBytes));
  return r;
}
