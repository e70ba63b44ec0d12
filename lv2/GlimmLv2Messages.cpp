#include "GlimmDspEvents.h"

#include "GlimmLv2.h"
#include "Utf8.h"

#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>

#include <cstring>

namespace glimm::dsp {

Uris::Uris(LV2_URID_Map* m)
    : atomBlank(m->map(m->handle, LV2_ATOM__Blank)),
      atomObject(m->map(m->handle, LV2_ATOM__Object)),
      atomResource(m->map(m->handle, LV2_ATOM__Resource)),
      atomSequence(m->map(m->handle, LV2_ATOM__Sequence)),
      atomString(m->map(m->handle, LV2_ATOM__String)),
      atomURID(m->map(m->handle, LV2_ATOM__URID)),
      midiEvent(m->map(m->handle, LV2_MIDI__MidiEvent)),
      patchGet(m->map(m->handle, LV2_PATCH__Get)),
      patchSet(m->map(m->handle, LV2_PATCH__Set)),
      patchProperty(m->map(m->handle, LV2_PATCH__property)),
      patchValue(m->map(m->handle, LV2_PATCH__value)),
      text(m->map(m->handle, GLIMM_LV2_TEXT_URI)),
      speak(m->map(m->handle, GLIMM_LV2_SPEAK_URI)),
      voice(m->map(m->handle, GLIMM_LV2_VOICE_URI)) {}

namespace {

// The length of a NUL-terminated UTF-8 string found within the first `limit`
// of `size` bytes, or -1.
long terminatedUtf8(const void* body, size_t size, size_t limit) {
  if (!body || size == 0) return -1;
  const char* s = static_cast<const char*>(body);
  const void* nul = std::memchr(s, 0, std::min(size, limit));
  if (!nul) return -1;
  const size_t n = size_t(static_cast<const char*>(nul) - s);
  return glimm::utf8::valid(s, n) ? long(n) : -1;
}

}  // namespace

long acceptText(const void* body, size_t size) { return terminatedUtf8(body, size, kGlimmTextBufferSize); }

long acceptVoiceName(const void* body, size_t size) {
  const long n = terminatedUtf8(body, size, kGlimmVoiceBufferSize);
  return n > 0 ? n : -1;
}

bool parsePatch(const Uris& uris, const LV2_Atom& atom, PatchMessage& m) {
  if (!uris.isObject(atom.type) || atom.size < sizeof(LV2_Atom_Object_Body)) return false;
  const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(&atom);
  m.otype = obj->body.otype;
  const auto* base = reinterpret_cast<const uint8_t*>(&obj->body);
  const uint64_t total = atom.size;
  uint64_t off = sizeof(LV2_Atom_Object_Body);
  while (off + sizeof(LV2_Atom_Property_Body) <= total) {
    const auto* prop = reinterpret_cast<const LV2_Atom_Property_Body*>(base + off);
    if (prop->value.size > total - off - sizeof(LV2_Atom_Property_Body)) return false;
    if (prop->key == uris.patchProperty) {
      if (prop->value.type != uris.atomURID || prop->value.size < sizeof(LV2_URID)) return false;
      m.property = reinterpret_cast<const LV2_Atom_URID*>(&prop->value)->body;
    } else if (prop->key == uris.patchValue) {
      m.value = &prop->value;
    }
    off += sizeof(LV2_Atom_Property_Body) + pad(prop->value.size);
  }
  return true;
}

}  // namespace glimm::dsp
