// Drives the calling thread's run loop from Qt's event loop: the loop's
// descriptor is watched with a QSocketNotifier, and the default mode runs
// whenever it becomes readable. No timers, no polling: while nothing is due,
// the process sleeps. A host creates one on its main thread.
#pragma once

#include <QObject>

class QSocketNotifier;

class GlimmRunLoopDriver : public QObject {
  Q_OBJECT

 public:
  explicit GlimmRunLoopDriver(QObject* parent = nullptr);
  ~GlimmRunLoopDriver() override;

  // How often the descriptor woke the driver.
  quint64 activations() const { return m_activations; }

 private:
  void runDueWork();

  QSocketNotifier* m_notifier = nullptr;
  quint64 m_activations = 0;
};
