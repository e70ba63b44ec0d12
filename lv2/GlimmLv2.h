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
  // One control input per unit parameter of the first release, in
  // parameter-ID order.
  kGlimmPortFirstParameter = 3,
};

// The parameters the first release had a port for; those appended to the
// table since have ports after every other port.
constexpr int kGlimmLv2FirstParameters = 7;
static_assert(kGlimmParamCount >= kGlimmLv2FirstParameters, "parameters are appended, never removed");

// After them: the host's lv2:freeWheeling control (1 while it renders
// offline, faster than real time); optional.
constexpr uint32_t kGlimmPortFreeWheel = kGlimmPortFirstParameter + kGlimmLv2FirstParameters;
// After it: the latency output (lv2:latency), in frames: how long after its
// event every sound starts, for hosts to compensate; optional.
constexpr uint32_t kGlimmPortLatency = kGlimmPortFreeWheel + 1;
// Then the parameters appended since, in parameter-ID order.
constexpr uint32_t kGlimmPortLaterParameters = kGlimmPortLatency + 1;
constexpr uint32_t kGlimmPortCount = kGlimmPortLaterParameters + (kGlimmParamCount - kGlimmLv2FirstParameters);

constexpr uint32_t glimmParameterPort(int parameter) {
  return parameter < kGlimmLv2FirstParameters
             ? kGlimmPortFirstParameter + uint32_t(parameter)
             : kGlimmPortLaterParameters + uint32_t(parameter - kGlimmLv2FirstParameters);
}
// The parameter whose control a port is, or -1.
constexpr int glimmPortParameter(uint32_t port) {
  if (port >= kGlimmPortFirstParameter && port < kGlimmPortFreeWheel) return int(port - kGlimmPortFirstParameter);
  if (port >= kGlimmPortLaterParameters && port < kGlimmPortCount)
    return kGlimmLv2FirstParameters + int(port - kGlimmPortLaterParameters);
  return -1;
}
// The one who answers for the plug-in (doap:maintainer), for hosts' author column.
#define GLIMM_LV2_MAINTAINER "The Glimm project"
