// The LV2 plug-in's public contract, shared by its DSP, its UI and the
// description generator. Hosts store these URIs and port indexes in their
// sessions: never change one; new ports and URIs are appended.
// Constants only: any thread.
#pragma once

#include "GlimmContract.h"

#include <cstdint>

#define GLIMM_LV2_URI "urn:glimm:speech"
#define GLIMM_LV2_UI_URI GLIMM_LV2_URI "#ui"
// The doap:Project the plug-in belongs to.
#define GLIMM_LV2_PROJECT_URI "urn:glimm:project"
// The text: a patch:writable parameter whose range is atom:String.
#define GLIMM_LV2_TEXT_URI GLIMM_LV2_URI "#text"
// The espeak-ng voice: a patch:writable parameter whose range is atom:String,
// a name as the speech unit's voice property takes it ("de", "German").
#define GLIMM_LV2_VOICE_URI GLIMM_LV2_URI "#voice"
// Speak now: a patch:Set of this property (any value) from the UI.
#define GLIMM_LV2_SPEAK_URI GLIMM_LV2_URI "#speak"

enum GlimmLv2Port : uint32_t {
  kGlimmPortControl = 0,  // atom:Sequence in: MIDI and patch messages
  kGlimmPortNotify = 1,   // atom:Sequence out: patch:Set of the text for the UI
  kGlimmPortOut = 2,      // mono audio
  // One control input per unit parameter, in parameter-ID order.
  kGlimmPortFirstParameter = 3,
};

constexpr uint32_t glimmParameterPort(int parameter) { return kGlimmPortFirstParameter + uint32_t(parameter); }

// After the parameters: the host's lv2:freeWheeling control (1 while it
// renders offline, faster than real time); optional.
constexpr uint32_t kGlimmPortFreeWheel = glimmParameterPort(kGlimmParamCount);
