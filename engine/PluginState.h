// The one state the CLAP and the VST3 plug-ins save and load: every
// parameter, the text and the voice, in the same bytes for both, so a session
// moved from one format to the other keeps them.
//
// Layout, little-endian: "GLMS", version (u32, 1), parameter count (u32),
// that many parameter values (f32, in parameter-ID order), the text's length
// (u32) and bytes, the voice's length (u32) and bytes, and nothing after.
//
// Threads: the control thread (the calls on VoiceController it makes are
// control-thread calls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class VoiceController;

namespace glimm::state {

// What a new plug-in instance says until it is given another text, so the
// first key a new user presses speaks.
inline constexpr char kDefaultText[] = "Hello, I am Glimm. Type your words here.";

// A stream longer than this is not ours; readers stop there.
inline constexpr size_t kMaxBytes = 4096;

std::vector<uint8_t> save(const VoiceController& voice);

// Checks the whole stream before anything is applied: a bad, truncated or
// oversize one changes nothing and returns false. A good one sets every
// parameter (those it predates to their defaults) and the text; its voice too
// when that voice is installed here, otherwise the voice stays as it is.
bool load(VoiceController& voice, const uint8_t* data, size_t size);

}  // namespace glimm::state
