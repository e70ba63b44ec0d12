// How glimm-host fails, and says so.
//
// One convention throughout host/: a call that can fail returns false (or a
// null pointer, or an empty optional) and puts in `*error` one sentence for
// the user that names what failed and where; a call with more outcomes than
// two returns its outcome and fills `*error` when that outcome is a failure.
// Only glimm-host's own steps show it: main.cpp and the live run say it with
// say() and end with a HostExit status; the window's File menu shows it in a
// message box.
// Parts without Qt carry the sentence as std::string, the rest as QString.
#pragma once

#include <QString>

// Exit statuses of glimm-host; hostUsage() and README.md list them.
enum HostExit {
  kHostExitOk = 0,
  kHostExitFailed = 1,
  kHostExitUsage = 2,
  kHostExitTimedOut = 3,
  kHostExitNothingToSpeak = 4,
  kHostExitSignalBase = 128  // plus the signal's number: 130 SIGINT, 143 SIGTERM
};

// One line on stderr, "glimm-host: " and the text. Main thread.
void say(const QString& text);
