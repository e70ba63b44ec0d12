#include "AUGlimm3_HostLink.h"

#include <QApplication>

#include <clocale>
#include <string>

bool pluginInstance() {
  if (QCoreApplication::instance()) return false;

  // QApplication's constructor calls setlocale(LC_ALL, ""), which would
  // silently change how the host formats and parses numbers.
  const char* current = std::setlocale(LC_ALL, nullptr);
  const std::string hostLocale = current ? current : "C";
  bool created = false;
  try {
    QCoreApplication::setAttribute(Qt::AA_PluginApplication, true);
    // The application keeps a reference to its argument count for its whole
    // life, and it is never deleted.
    static int argc = 0;
    new QApplication(argc, nullptr, QCoreApplication::ApplicationFlags);
    created = true;
  } catch (...) {
    // Nothing may escape into the host; the caller sees that nothing was created.
  }
  std::setlocale(LC_ALL, hostLocale.c_str());
  return created;
}
