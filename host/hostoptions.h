// Command line of glimm-host.
#pragma once

#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

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
  bool help = false;
};

struct HostOptionsResult {
  HostOptions options;
  QString error;  // empty when the command line is good
};

HostOptionsResult parseHostOptions(const QStringList& arguments);
QString hostUsage();
