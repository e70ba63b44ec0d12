// MusicDevice stand-in: MIDI input of instrument units.
#pragma once

#include <AudioUnit/AUComponent.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef AudioComponentInstance MusicDeviceComponent;

enum { kMusicDeviceRange = 0x0100, kMusicDeviceMIDIEventSelect = 0x0101 };

typedef OSStatus (*MusicDeviceMIDIEventProc)(void* self, UInt32 inStatus, UInt32 inData1, UInt32 inData2,
                                             UInt32 inOffsetSampleFrame);

OSStatus MusicDeviceMIDIEvent(MusicDeviceComponent inUnit, UInt32 inStatus, UInt32 inData1, UInt32 inData2,
                              UInt32 inOffsetSampleFrame);

#ifdef __cplusplus
}
#endif
