// The atom messages between the DSP, its UI and the host, written and read in
// one place: the URIDs both sides map, the checks every text and voice name
// passes, and patch:Get and patch:Set. Everything read here comes from a host
// and trusts no size it claims: each is checked against what encloses it.
//
// Threads: Uris is built where the host's URID map may be called (the DSP's
// and the UI's instantiation). Everything else may be called from any thread,
// run() included: it never locks, allocates, waits or throws.
#pragma once

#include "GlimmLv2.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace glimm::lv2 {

// Padding in 64 bits: a size near 4 GiB must not wrap to a small step.
constexpr uint64_t pad(uint64_t size) { return (size + 7) & ~uint64_t(7); }

struct Uris {
  LV2_URID atomBlank, atomObject, atomResource, atomSequence, atomString, atomURID, atomEventTransfer;
  LV2_URID midiEvent;
  LV2_URID patchGet, patchSet, patchProperty, patchValue;
  LV2_URID text, speak, voice;
  // The host's transport (time:Position) and the numbers it comes in.
  LV2_URID timePosition, timeSpeed, timeFrame;
  LV2_URID atomFloat, atomDouble, atomInt, atomLong;

  // Calls the host's map: never from run().
  explicit Uris(LV2_URID_Map* m);

  bool isObject(LV2_URID type) const { return type == atomObject || type == atomBlank || type == atomResource; }
};

// ---- Text checks ----------------------------------------------------------------

// The one check every text the DSP takes passes, from patch:Set and from
// saved state alike: NUL-terminated within the bytes given, at most
// kGlimmTextMaxBytes before the NUL, strict UTF-8. Returns the length, or -1.
long acceptText(const void* body, size_t size);

// A voice name's form, from patch:Set and saved state alike: NUL-terminated
// within the bytes given, 1 to kGlimmVoiceMaxBytes long, UTF-8. Whether such
// a voice is installed only the worker can say. Returns the length, or -1.
long acceptVoiceName(const void* body, size_t size);

// What the UI shows of an announced text: its bytes up to the first NUL, cut
// to kGlimmTextMaxBytes. Looser than acceptText: the field cuts and sends
// back what it shows, so the DSP still speaks only what it accepts.
size_t shownTextLength(const void* body, size_t size);

// The length of a string atom's text when `accept` takes it, or -1 (also for
// no atom, or one of another type). The text starts at value + 1.
long acceptString(const Uris& uris, const LV2_Atom* value, long (*accept)(const void*, size_t));

// ---- Writing ----------------------------------------------------------------------

// Each writes one object at the forge's position and returns its reference,
// or 0 when the forge's buffer had no room for all of it.
// patch:Set of `property` to a string of `size` bytes (the NUL is added).
LV2_Atom_Forge_Ref writeSetString(LV2_Atom_Forge& forge, const Uris& uris, LV2_URID property, const char* s,
                                  uint32_t size);
// patch:Set of the speak property: speak the text now.
LV2_Atom_Forge_Ref writeSpeak(LV2_Atom_Forge& forge, const Uris& uris);
// patch:Get with no property: announce everything readable.
LV2_Atom_Forge_Ref writeGet(LV2_Atom_Forge& forge, const Uris& uris);

// The room a writeSetString of `size` bytes takes as an event of a sequence,
// with headroom: checked first, so that an event is written whole or not at all.
constexpr uint64_t setStringEventBytes(uint64_t size) {
  return sizeof(LV2_Atom_Event) + sizeof(LV2_Atom_Object) + 2 * sizeof(LV2_Atom_Property_Body) + sizeof(LV2_Atom_URID) +
         pad(size + 1) + 16;
}

// ---- Reading ----------------------------------------------------------------------

// A patch message's type, property and value; value points into the host's
// buffer and was checked to lie inside it.
struct PatchMessage {
  LV2_URID otype = 0;
  LV2_URID property = 0;
  const LV2_Atom* value = nullptr;
};

// False for anything that is not a well-formed object; atom.size must already
// have been checked against what encloses the atom.
bool parsePatch(const Uris& uris, const LV2_Atom& atom, PatchMessage& m);

// Calls handle(atom, frame) for each event of a control sequence, walking it
// by hand: every size it claims is checked against what encloses it, so a
// malformed buffer is cut short rather than overrun. Frame times outside the
// block count as its last frame.
template <typename Handle>
void forEachEvent(const Uris& uris, const LV2_Atom_Sequence* seq, uint32_t frames, Handle&& handle) {
  if (!seq || seq->atom.type != uris.atomSequence) return;
  const uint64_t total = seq->atom.size;
  const auto* body = reinterpret_cast<const uint8_t*>(&seq->body);
  uint64_t off = sizeof(LV2_Atom_Sequence_Body);
  while (off + sizeof(LV2_Atom_Event) <= total) {
    const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(body + off);
    const uint64_t room = total - off - sizeof(LV2_Atom_Event);
    if (ev->body.size > room) return;
    const int64_t t = ev->time.frames;
    handle(ev->body, t < 0 ? 0u : uint32_t(std::min<int64_t>(t, frames ? frames - 1 : 0)));
    off += sizeof(LV2_Atom_Event) + pad(ev->body.size);
  }
}

}  // namespace glimm::lv2
