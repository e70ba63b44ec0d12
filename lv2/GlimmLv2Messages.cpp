#include "GlimmLv2Messages.h"

#include "Utf8.h"

#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>

#include <cstring>

namespace glimm::lv2 {

Uris::Uris(LV2_URID_Map* m)
    : atomBlank(m->map(m->handle, LV2_ATOM__Blank)),
      atomObject(m->map(m->handle, LV2_ATOM__Object)),
      atomResource(m->map(m->handle, LV2_ATOM__Resource)),
      atomSequence(m->map(m->handle, LV2_ATOM__Sequence)),
      atomString(m->map(m->handle, LV2_ATOM__String)),
      atomURID(m->map(m->handle, LV2_ATOM__URID)),
      atomEventTransfer(m->map(m->handle, LV2_ATOM__eventTransfer)),
      midiEvent(m->map(m->handle, LV2_MIDI__MidiEvent)),
      patchGet(m->map(m->handle, LV2_PATCH__Get)),
      patchSet(m->map(m->handle, LV2_PATCH__Set)),
      patchProperty(m->map(m->handle, LV2_PATCH__property)),
      patchValue(m->map(m->handle, LV2_PATCH__value)),
      text(m->map(m->handle, GLIMM_LV2_TEXT_URI)),
      speak(m->map(m->handle, GLIMM_LV2_SPEAK_URI)),
      voice(m->map(m->handle, GLIMM_LV2_VOICE_URI)),
      timePosition(m->map(m->handle, LV2_TIME__Position)),
      timeSpeed(m->map(m->handle, LV2_TIME__speed)),
      timeFrame(m->map(m->handle, LV2_TIME__frame)),
      atomFloat(m->map(m->handle, LV2_ATOM__Float)),
      atomDouble(m->map(m->handle, LV2_ATOM__Double)),
      atomInt(m->map(m->handle, LV2_ATOM__Int)),
      atomLong(m->map(m->handle, LV2_ATOM__Long)) {}

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

// A patch:Set of `property` whose value the caller writes; the reference of
// the object, or 0 when any part did not fit.
template <typename WriteValue>
LV2_Atom_Forge_Ref writeSet(LV2_Atom_Forge& forge, const Uris& uris, LV2_URID property, WriteValue&& value) {
  LV2_Atom_Forge_Frame frame;
  const LV2_Atom_Forge_Ref object = lv2_atom_forge_object(&forge, &frame, 0, uris.patchSet);
  const bool whole = object && lv2_atom_forge_key(&forge, uris.patchProperty) &&
                     lv2_atom_forge_urid(&forge, property) && lv2_atom_forge_key(&forge, uris.patchValue) && value();
  lv2_atom_forge_pop(&forge, &frame);
  return whole ? object : 0;
}

}  // namespace

long acceptText(const void* body, size_t size) { return terminatedUtf8(body, size, kGlimmTextBufferSize); }

long acceptVoiceName(const void* body, size_t size) {
  const long n = terminatedUtf8(body, size, kGlimmVoiceBufferSize);
  return n > 0 ? n : -1;
}

size_t shownTextLength(const void* body, size_t size) {
  if (!body) return 0;
  const void* nul = std::memchr(body, 0, size);
  const size_t n = nul ? size_t(static_cast<const char*>(nul) - static_cast<const char*>(body)) : size;
  return std::min<size_t>(n, kGlimmTextMaxBytes);
}

long acceptString(const Uris& uris, const LV2_Atom* value, long (*accept)(const void*, size_t)) {
  return value && value->type == uris.atomString ? accept(value + 1, value->size) : -1;
}

LV2_Atom_Forge_Ref writeSetString(LV2_Atom_Forge& forge, const Uris& uris, LV2_URID property, const char* s,
                                  uint32_t size) {
  return writeSet(forge, uris, property, [&] { return lv2_atom_forge_string(&forge, s, size) != 0; });
}

LV2_Atom_Forge_Ref writeSpeak(LV2_Atom_Forge& forge, const Uris& uris) {
  return writeSet(forge, uris, uris.speak, [&] { return lv2_atom_forge_bool(&forge, true) != 0; });
}

LV2_Atom_Forge_Ref writeGet(LV2_Atom_Forge& forge, const Uris& uris) {
  LV2_Atom_Forge_Frame frame;
  const LV2_Atom_Forge_Ref object = lv2_atom_forge_object(&forge, &frame, 0, uris.patchGet);
  lv2_atom_forge_pop(&forge, &frame);
  return object;
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

}  // namespace glimm::lv2
