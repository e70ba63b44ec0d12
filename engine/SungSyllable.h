// How a sung syllable's audio is laid out so its vowel lasts as long as its
// key: the synthesiser cannot make a vowel longer than about 0.7 s, so the
// engine thread cuts a loop of one pitch period from the steady middle of
// the vowel, and the render thread repeats it while the key is held.
// Pure functions on the engine thread's buffers; no state.
#pragma once

#include <cstddef>
#include <vector>

namespace glimm {

struct SungLayout {
  size_t loopStart = 0;   // where the loop begins in the laid-out audio
  size_t loopLength = 0;  // 0: nothing to hold (no vowel, or too short a one)
  // The playback rate, relative to the rest, that keeps the loop's pitch
  // exact although its length is a whole number of samples.
  double loopRate = 1.0;
  // Where a key released before the loop leaves the vowel for the loop's
  // start, a whole number of periods on (loopStart: nowhere earlier).
  size_t shortcut = 0;
};

// Lays out `audio` (one syllable at the output rate) in place. [vowelBegin,
// vowelEnd) is the vowel to hold, `period` the held F0's period in samples;
// `glide` (a diphthong) holds nearer the first target. The vowel before the
// loop and after it is shortened to at most kLead and kTail seconds at whole
// periods, so that the final consonants follow a note-off soon; a note
// released before the loop may take the shortcut after kShortVowel of it. The loop is inserted whole after the
// part of the vowel it was cut from, its end cross-faded into its start, so
// the audio plays seamlessly both straight through and round the loop.
SungLayout layoutSungSyllable(std::vector<float>& audio, size_t vowelBegin, size_t vowelEnd, double period, double rate,
                              bool glide);

// The gain that brings a sung syllable to the RMS of speech at the defaults
// (the engine's loudness swings by 15 dB and more with the F0 and the vowel);
// silentGain for one with nothing loud in it.
double sungGain(const std::vector<float>& audio, double silentGain);

constexpr double kLead = 0.05;
constexpr double kShortVowel = 0.03;
constexpr double kTail = 0.04;

}  // namespace glimm
