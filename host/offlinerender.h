// Renders the unit's utterance straight into a WAV file, as fast as the voice
// synthesises it: no device, no pacing.
#pragma once

#include "unithost.h"

#include <functional>
#include <string>

enum class RenderOutcome { Spoken, NothingToSpeak, TimedOut, Interrupted, Failed };

// Asks the unit to speak its text and writes what it renders to `wavPath`
// (16-bit, the unit's rate, stereo) until the unit has finished. The file
// holds the utterance from its first sample to its last, with none of the
// silence a real-time render shows while the synthesiser catches up.
// `interrupted` is asked now and then; true stops the render with what has
// been written so far kept. For Failed, `error` names the file or the unit
// and what went wrong.
RenderOutcome renderOffline(UnitHost& unit, const std::string& wavPath, double timeoutSeconds,
                            const std::function<bool()>& interrupted, std::string* error);
