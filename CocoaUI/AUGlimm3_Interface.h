// The speech unit's parameter and property numbers, shared by the editor, the
// host bridge and the speech unit. Plain constants: no platform header here,
// so the Qt side can include it.
#pragma once

enum {
  kGlimmParam_Pitch = 0,     // 0..255
  kGlimmParam_Speed = 1,     // 20..200
  kGlimmParam_Mouth = 2,     // 0..255
  kGlimmParam_Throat = 3,    // 0..255
  kGlimmParam_SingMode = 4,  // 0 off, 1 on
  kGlimmParam_Phonetic = 5,  // 0 off, 1 on: the text is phoneme mnemonics
  kGlimmParam_Filter = 6,    // 0 off, 1 on: the small-speaker voice
  kGlimmParamCount = 7
};

enum {
  kGlimmProperty_Text = 0x20000,      // 512 bytes of NUL-terminated 8-bit text
  kGlimmProperty_Play = 0x20001,      // set only, 8 bytes of no meaning
  kGlimmProperty_Speaking = 0x20002,  // get only, UInt32: 1 from play until the utterance is all rendered
  // 64 bytes: an installed espeak-ng voice's name, NUL-terminated and padded ("en" by default). A set names a
  // voice by its short name ("de"), its file ("gmw/de") or its description ("German"), in any case; the unit
  // keeps the short name. An unknown name is refused and changes nothing.
  kGlimmProperty_Voice = 0x20003,
  // get only, variable size: the installed voices as UTF-8 lines "name<TAB>languages<TAB>description\n",
  // the languages separated by spaces, NUL-terminated
  kGlimmProperty_VoiceList = 0x20004
};

enum { kGlimmTextBufferSize = 512, kGlimmTextMaxBytes = kGlimmTextBufferSize - 1, kGlimmPlayDataSize = 8 };
enum { kGlimmVoiceBufferSize = 64, kGlimmVoiceMaxBytes = kGlimmVoiceBufferSize - 1 };
