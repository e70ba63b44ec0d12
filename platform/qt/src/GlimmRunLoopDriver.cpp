#include "GlimmRunLoopDriver.h"

#include <CoreFoundation/CoreFoundation.h>

#include <QSocketNotifier>

#include <cstdio>
#include <exception>

GlimmRunLoopDriver::GlimmRunLoopDriver(QObject* parent) : QObject(parent) {
  const int fd = GlimmCFRunLoopGetFileDescriptor(CFRunLoopGetCurrent());
  if (fd < 0) return;
  m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &GlimmRunLoopDriver::runDueWork);
}

GlimmRunLoopDriver::~GlimmRunLoopDriver() = default;

void GlimmRunLoopDriver::runDueWork() {
  ++m_activations;
  // Work comes from plug-ins; nothing they throw may reach Qt's dispatcher.
  try {
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "run loop driver: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "run loop driver: unknown exception\n");
  }
}
