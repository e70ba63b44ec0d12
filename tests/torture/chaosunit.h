// A speech unit with the real one's interface (parameters 0-4, the text and
// play properties, the Cocoa-UI property naming the editor bundle) that
// stores whatever it is given, changes its own state on request, fails reads
// and writes at random when told to, and keeps a record of every call.
#pragma once

#include "FakeUnitBase.h"

#include <random>
#include <string>
#include <vector>

namespace chaos {

enum : AudioUnitPropertyID { kText = 0x20000, kPlay = 0x20001 };
enum { kParamCount = 7, kTextSize = 512, kPlaySize = 8 };

struct SetCall {
  AudioUnitParameterID id;
  float value;
};

struct Unit : fakeunits::UnitBase {
  float params[kParamCount] = {128, 100, 128, 128, 0, 0, 0};
  unsigned char text[kTextSize] = {'H', 'i'};

  // Chance that a call of each kind fails while chaos is on.
  double failRead = 0, failSet = 0, failTextRead = 0;
  std::mt19937_64 rng{1};

  // Every parameter write, failed ones included, since the last clear.
  std::vector<SetCall> sets;
  long failedReads = 0, failedSets = 0, failedTextReads = 0;
  long plays = 0;
  long badTextSizes = 0, badPlaySizes = 0;
  long textSetsFromEditor = 0;

  bool roll(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < p; }
};

// Registers two components ("another unit" is the second one) whose editor is
// the bundle at `bundlePath`; idempotent.
void registerComponents(const std::string& bundlePath);

// A new instance of component 0 or 1 and its inside.
struct Instance {
  AudioUnit au = nullptr;
  Unit* unit = nullptr;
};
Instance newInstance(int component);

// The unit changing a parameter by itself (automation, a note in sing mode):
// stored as given and announced to listeners, never through SetParameter.
// False when the announcement failed (the unit could not report the value).
bool automate(Unit* u, AudioUnitParameterID id, float value);

// The unit changing its text by itself (preset recall): all 512 bytes as
// given, terminated or not, then its property listeners are told.
void setTextFromUnit(Unit* u, const unsigned char (&bytes)[kTextSize]);

// The stored text up to its terminator, or all of it when there is none.
std::string storedText(const Unit* u);

}  // namespace chaos
