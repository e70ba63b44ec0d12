#include "hostexit.h"

#include <cstdio>

void say(const QString& text) { std::fprintf(stderr, "glimm-host: %s\n", qPrintable(text)); }
