// Opens a 16-bit stereo WAV file for the host to record into.
#pragma once

#include <string>

struct sf_private_tag;

// Null with `error` naming the file and why when it cannot be made.
// Samples beyond full scale are clipped rather than wrapped.
sf_private_tag* openWavForWriting(const std::string& path, int sampleRate, std::string* error);
