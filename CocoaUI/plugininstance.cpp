#include "AUGlimm3_HostLink.h"

#include <QApplication>

#include <clocale>
#include <string>

bool pluginInstance(const char* platform) {
  if (QCoreApplication::instance()) return false;

  // QApplication's constructor calls setlocale(LC_ALL, ""), which would
  // silently change how the host formats and parses numbers.
  const char* current = std::setlocale(LC_ALL, nullptr);
  const std::string hostLocale = current ? current : "C";
  bool created = false;
  try {
    QCoreApplication::setAttribute(Qt::AA_PluginApplication, true);
    // The application keeps references to its arguments for its whole life,
    // and it is never deleted.
    static std::string platformName;
    static char program[] = "glimm";
    static char option[] = "-platform";
    static char* argv[4] = {};
    static int argc = 0;
    if (platform) {
      platformName = platform;
      argv[0] = program;
      argv[1] = option;
      argv[2] = platformName.data();
      argc = 3;
    }
    new QApplication(argc, argc ? argv : nullptr, QCoreApplication::ApplicationFlags);
    created = true;
  } catch (...) {
    // Nothing may escape into the host; the caller sees that nothing was created.
  }
  std::setlocale(LC_ALL, hostLocale.c_str());
  return created;
}
