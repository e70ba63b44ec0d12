// What the DSP reads from a host's atoms: the URIDs it maps, the checks every
// text and voice name passes, and the walks over a control sequence and a
// patch object that trust no size they are given.
//
// Threads: everything here may be called from any thread, run() included: it
// neither locks nor allocates. Uris is built at instantiation.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace glimm::dsp {

// Padding in 64 bits: a size near 4 GiB must not wrap to a small step.
constexpr uint64_t pad(uint64_t size) { return (size + 7) & ~uint64_t(7); }

struct Uris {
  LV2_URID atomBlank, atomObject, atomResource, atomSequence, atomString, atomURID;
  LV2_URID midiEvent;
  LV2_URID patchGet, patchSet, patchProperty, patchValue;
  LV2_URID text, speak, voice;

  explicit Uris(LV2_URID_Map* m);

  bool isObject(LV2_URID type) const { return type == atomObject || type == atomBlank || type == atomResource; }
};

// The one check every text passes, from patch:Set and from saved state alike:
// NUL-terminated within the bytes given, at most kGlimmTextMaxBytes before
// the NUL, strict UTF-8. Returns the text's length, or -1.
long acceptText(const void* body, size_t size);

// A voice name's form, from patch:Set and saved state alike: NUL-terminated
// within the bytes given, 1 to kGlimmVoiceMaxBytes long, UTF-8. Whether such
// a voice is installed only the worker can say. Returns the length, or -1.
long acceptVoiceName(const void* body, size_t size);

// The patch properties run() looks at; values point into the host's buffer
// and were checked to lie inside it.
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

}  // namespace glimm::dsp
