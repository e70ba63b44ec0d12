// What every side of the speech unit agrees on: the numbers and sizes of
// AUGlimm3_Interface.h, the names of the editor bundle and its factory, and
// the one table of parameter facts that the unit, the host's options, the
// editor's slider ranges and plug-in descriptions are made from.
// Plain constants only, so Qt code and platform-free code can include it.
#pragma once

#include "AUGlimm3_Interface.h"

#include <cstring>

// File names as built and installed: the unit module and the editor bundle
// that lies beside it.
inline constexpr char kGlimmSpeechUnitFileName[] = "GlimmSpeechUnit.so";
inline constexpr char kGlimmEditorBundleFileName[] = "AUGlimm3CocoaUI.so";
inline constexpr char kGlimmViewFactoryClassName[] = "AUGlimm3_ViewFactory";

// The component's identity: a music device, 'glm3' by 'Glmm'.
inline constexpr unsigned kGlimmComponentSubType = 0x676c6d33;
inline constexpr unsigned kGlimmComponentManufacturer = 0x476c6d6d;
inline constexpr unsigned kGlimmComponentVersion = 0x00010000;

enum GlimmParameterUnit { kGlimmUnit_Generic, kGlimmUnit_Boolean };

struct GlimmParameterFacts {
  int index;           // the parameter ID
  const char* name;    // as the unit names it to hosts
  const char* symbol;  // ASCII identifier: command-line name and port symbol
  float minimum;
  float maximum;
  float defaultValue;
  GlimmParameterUnit unit;
  bool integer;  // only whole numbers mean something
  bool toggle;   // off below 0.5, on from there
};

// In parameter-ID order; new parameters are appended.
inline constexpr GlimmParameterFacts kGlimmParameters[kGlimmParamCount] = {
    {kGlimmParam_Pitch, "pitch", "pitch", 0, 255, 128, kGlimmUnit_Generic, true, false},
    {kGlimmParam_Speed, "speed", "speed", 20, 200, 100, kGlimmUnit_Generic, true, false},
    {kGlimmParam_Mouth, "mouth", "mouth", 0, 255, 128, kGlimmUnit_Generic, true, false},
    {kGlimmParam_Throat, "throat", "throat", 0, 255, 128, kGlimmUnit_Generic, true, false},
    {kGlimmParam_SingMode, "sing mode", "sing", 0, 1, 0, kGlimmUnit_Boolean, false, true},
    {kGlimmParam_Phonetic, "phonetic mode", "phonetic", 0, 1, 0, kGlimmUnit_Boolean, false, true},
    {kGlimmParam_Filter, "filter", "filter", 0, 1, 0, kGlimmUnit_Boolean, false, true},
};

// The voice a unit speaks with until it is given another.
inline constexpr char kGlimmDefaultVoice[] = "en";

// The editor panel's one size, in pixels, in every host that shows it.
inline constexpr int kGlimmPanelWidth = 440;
inline constexpr int kGlimmPanelHeight = 320;

// A sample no louder than this counts as silence (about -60 dBFS): where an
// utterance starts and ends, and whether a render was heard at all.
inline constexpr float kGlimmSilence = 1e-3f;

// The row for a symbol, or nullptr.
inline const GlimmParameterFacts* glimmParameterBySymbol(const char* symbol) {
  for (const GlimmParameterFacts& p : kGlimmParameters)
    if (symbol && std::strcmp(p.symbol, symbol) == 0) return &p;
  return nullptr;
}
