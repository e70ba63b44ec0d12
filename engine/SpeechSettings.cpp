// How the settings a voice speaks with map onto the synthesiser's values and
// the notes it sings. Pure functions: any thread.
#include "SpeechVoice.h"

#include <algorithm>
#include <cmath>

namespace glimm {

int espeakPitch(float pitch) { return int(std::lround(std::clamp(pitch, 0.0f, 255.0f) * 100.0 / 255.0)); }

int espeakRate(float speed) {
  // Exponential so that the slider spans the engine's whole usable range;
  // below 80 wpm the engine stays at 80, and 450 makes it speed up wrongly.
  const double s = std::clamp(double(speed), 20.0, 200.0);
  return int(std::lround(80.0 * std::pow(449.0 / 80.0, (s - 20.0) / 180.0)));
}

int formantPercent(float value) {
  // Exponential around 128 = 100 %: 50 % at 0, 199 % at 255. Scaling formants
  // towards 0 % makes the engine produce clipped noise instead of a voice.
  const double v = std::clamp(double(value), 0.0, 255.0);
  return int(std::lround(100.0 * std::pow(2.0, (v - 128.0) / 128.0)));
}

double noteForPitch(float pitch) { return 36.0 + std::clamp(double(pitch), 0.0, 255.0) * 48.0 / 255.0; }

int singHz(double note) {
  // The engine holds F0 only within its own range; hostile notes are kept in it.
  return int(std::lround(hzForNote(std::clamp(note, 24.0, 96.0))));
}

double singRatio(double note) { return hzForNote(std::clamp(note, 24.0, 96.0)) / singHz(note); }

double hzForNote(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

}  // namespace glimm
