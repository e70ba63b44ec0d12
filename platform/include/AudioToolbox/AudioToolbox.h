// AudioToolbox framework stand-in (umbrella header).
#pragma once

#include <AudioUnit/AudioUnit.h>
#include <AudioToolbox/AudioUnitUtilities.h>
