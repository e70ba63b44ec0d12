// SIGINT and SIGTERM end glimm-host like any other exit, so the audio is
// stopped, the WAV file closed and temporary files removed on the way out.
// The handler only writes the signal's number into a pipe. Main thread.
#pragma once

class QObject;

// Installs the handler: with an event loop running, a stop signal exits it
// with kHostExitSignalBase plus the signal's number. False when the signals
// cannot be caught.
bool exitOnStopSignals(QObject* parent);

// A stop signal that has arrived, for a host that runs no event loop; 0 when none has.
int takeStopSignal();
