#include "stopsignals.h"

#include "hostexit.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

int gSignalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signo) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
  (void)written;  // a full pipe already holds a signal to act on
  errno = savedErrno;
}

}  // namespace

bool exitOnStopSignals(QObject* parent) {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, parent, [notifier] {
    unsigned char signo = 0;
    if (::read(gSignalPipe[0], &signo, 1) != 1) return;
    notifier->setEnabled(false);
    // A second signal while shutting down ends the process the default way.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    QCoreApplication::exit(kHostExitSignalBase + signo);
  });
  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

int takeStopSignal() {
  unsigned char signo = 0;
  return gSignalPipe[0] >= 0 && ::read(gSignalPipe[0], &signo, 1) == 1 ? signo : 0;
}
