// The LV2 plug-in under a hostile host: bytes become an instance at a sample
// rate from 8 to 192 kHz, restored state of any type and size, and blocks of
// 0 to 8192 frames whose control sequences hold MIDI, patch messages with
// wrong keys, types and sizes, nested objects and plain garbage, with ports
// connected, disconnected and moved between blocks. The host stays honest
// about its own buffers; everything inside them is the fuzzer's.
// Invariants: what the plug-in announces is a terminated UTF-8 text of at
// most 511 bytes and fits the notify buffer; the audio is finite and within
// [-1, 1]; a text is taken exactly when it is a valid one, and saved state
// gives back the text taken last.
#include "fuzzcheck.h"

#include "GlimmLv2.h"
#include "Lv2TestHost.h"
#include "Utf8.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

using lv2host::urid;

int logVprintf(LV2_Log_Handle, LV2_URID, const char*, va_list) { return 0; }
LV2_Log_Log gLog{nullptr, lv2host::logPrintf<logVprintf>, logVprintf};

// Jobs run on this thread after each block, as a host's worker would later.
std::vector<std::vector<uint8_t>> gJobs;
bool gWorkerFull = false;
long gTextsTaken = 0;  // valid texts the model saw taken; shown at exit
LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle, uint32_t size, const void* data) {
  if (gWorkerFull) return LV2_WORKER_ERR_NO_SPACE;
  const auto* p = static_cast<const uint8_t*>(data);
  gJobs.emplace_back(p, p + size);
  return LV2_WORKER_SUCCESS;
}
LV2_Worker_Schedule gSchedule{nullptr, scheduleWork};
LV2_Worker_Status respond(LV2_Worker_Respond_Handle, uint32_t, const void*) { return LV2_WORKER_SUCCESS; }

using Bytes = FuzzBytes;

// The plug-in's text rule, written anew: a string atom whose body holds a NUL
// within 512 bytes, strict UTF-8 before it.
bool validText(LV2_URID type, const uint8_t* body, size_t size, std::string* text) {
  if (type != urid(LV2_ATOM__String) || size == 0) return false;
  const void* nul = std::memchr(body, 0, std::min<size_t>(size, kGlimmTextBufferSize));
  if (!nul) return false;
  const size_t n = size_t(static_cast<const uint8_t*>(nul) - body);
  if (!glimm::utf8::valid(reinterpret_cast<const char*>(body), n)) return false;
  text->assign(reinterpret_cast<const char*>(body), n);
  return true;
}

using AtomBuffer = lv2host::AtomBuffer<16384>;

struct Restore {
  LV2_URID key, type;
  std::vector<uint8_t> value;
  static const void* retrieve(LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) {
    auto* r = static_cast<Restore*>(h);
    if (key != r->key || r->value.empty()) return nullptr;
    *size = r->value.size();
    *type = r->type;
    *flags = LV2_STATE_IS_POD;
    return r->value.data();
  }
};

// The saved state holds the text and the voice in use, once each, as
// terminated UTF-8 strings; returns the text.
std::string savedText(const LV2_State_Interface* state, LV2_Handle h) {
  struct Saved {
    std::string text;
    int texts = 0, voices = 0;
  } saved;
  auto store = [](LV2_State_Handle hd, uint32_t key, const void* value, size_t size, uint32_t type,
                  uint32_t) -> LV2_State_Status {
    auto* s = static_cast<Saved*>(hd);
    const bool text = key == urid(GLIMM_LV2_TEXT_URI);
    require((text || key == urid(GLIMM_LV2_VOICE_URI)) && type == urid(LV2_ATOM__String),
            "state saved under a wrong key or type");
    const auto* p = static_cast<const char*>(value);
    require(size >= (text ? 1 : 2) && size <= (text ? kGlimmTextBufferSize : kGlimmVoiceBufferSize) &&
                p[size - 1] == 0 && std::strlen(p) == size - 1,
            "saved text or voice is not a terminated string of its size");
    require(glimm::utf8::valid(p, size - 1), "saved text or voice is not UTF-8");
    if (text) s->text.assign(p, size - 1);
    ++(text ? s->texts : s->voices);
    return LV2_STATE_SUCCESS;
  };
  require(state->save(h, store, &saved, 0, nullptr) == LV2_STATE_SUCCESS, "save failed");
  require(saved.texts == 1 && saved.voices == 1, "save stored other than one text and one voice");
  return saved.text;
}

// Appends one event of the fuzzer's making; returns the text a valid
// patch:Set of the text carries, if it is one.
void writeEvent(Bytes& in, lv2host::SequenceWriter& events, bool* setsText, std::string* text) {
  const uint32_t frame = in.next32() % 9000;
  const uint8_t kind = in.next() % 8;
  if (kind == 0) {  // MIDI of any length and content
    uint8_t msg[8];
    const uint32_t n = in.next() % 8;
    for (uint32_t i = 0; i < n; ++i) msg[i] = in.next();
    events.atom(urid(LV2_MIDI__MidiEvent), msg, n, frame);
    return;
  }
  if (kind == 1) {  // an atom of a random type with random bytes
    uint8_t body[64];
    const uint32_t n = in.next() % 64;
    for (uint32_t i = 0; i < n; ++i) body[i] = in.next();
    static const char* types[] = {LV2_ATOM__Int,   LV2_ATOM__Float,    LV2_ATOM__String, LV2_ATOM__Object,
                                  LV2_ATOM__Tuple, LV2_ATOM__Sequence, LV2_ATOM__URID,   LV2_ATOM__Blank};
    const LV2_URID type = urid(types[in.next() % 8]);
    events.atom(type, body, n, frame);
    return;
  }
  events.frameTime(frame);
  LV2_Atom_Forge& forge = events.forge();
  // A patch message or a transport position, with keys and values from a
  // small vocabulary.
  static const char* otypes[] = {LV2_PATCH__Set,   LV2_PATCH__Get,  LV2_PATCH__Put,
                                 LV2_PATCH__Patch, LV2_ATOM__Blank, LV2_TIME__Position};
  static const char* keys[] = {LV2_PATCH__property, LV2_PATCH__value, LV2_PATCH__subject, LV2_PATCH__body,
                               GLIMM_LV2_TEXT_URI,  LV2_TIME__frame,  LV2_TIME__speed};
  static const char* properties[] = {GLIMM_LV2_TEXT_URI, GLIMM_LV2_SPEAK_URI, LV2_PATCH__value, LV2_ATOM__String};
  const LV2_URID otype = urid(otypes[in.next() % 6]);
  LV2_Atom_Forge_Frame obj;
  lv2_atom_forge_object(&forge, &obj, 0, otype);
  LV2_URID property = 0;
  bool valueValid = false, valueSeen = false, propertyBad = false;
  std::string value;
  for (int n = in.next() % 5; n > 0; --n) {
    const LV2_URID key = urid(keys[in.next() % 7]);
    lv2_atom_forge_key(&forge, key);
    switch (in.next() % 6) {
      case 0: {
        const LV2_URID p = urid(properties[in.next() % 4]);
        lv2_atom_forge_urid(&forge, p);
        if (key == urid(LV2_PATCH__property)) property = p;
        if (key == urid(LV2_PATCH__value)) valueSeen = true, valueValid = false;
        break;
      }
      case 1: {  // a string: text, bytes without a NUL, or too long
        uint8_t body[700];
        uint32_t size = in.next() % 2 ? in.next() % 40 : 500 + in.next() % 40;
        for (uint32_t i = 0; i < size; ++i) body[i] = in.next() % 4 ? 'a' + in.next() % 26 : in.next();
        if (in.next() % 4) body[size++] = 0;
        lv2_atom_forge_atom(&forge, size, urid(LV2_ATOM__String));
        lv2_atom_forge_write(&forge, body, size);
        if (key == urid(LV2_PATCH__value)) {
          valueSeen = true;
          valueValid = validText(urid(LV2_ATOM__String), body, size, &value);
        }
        if (key == urid(LV2_PATCH__property)) propertyBad = true;
        break;
      }
      case 2:
        lv2_atom_forge_int(&forge, int32_t(in.next32()));
        if (key == urid(LV2_PATCH__value)) valueSeen = true, valueValid = false;
        if (key == urid(LV2_PATCH__property)) propertyBad = true;
        break;
      case 3: {  // a nested object
        LV2_Atom_Forge_Frame inner;
        lv2_atom_forge_object(&forge, &inner, 0, urid(LV2_PATCH__Set));
        lv2_atom_forge_key(&forge, urid(LV2_PATCH__property));
        lv2_atom_forge_urid(&forge, urid(GLIMM_LV2_TEXT_URI));
        lv2_atom_forge_pop(&forge, &inner);
        if (key == urid(LV2_PATCH__value)) valueSeen = true, valueValid = false;
        if (key == urid(LV2_PATCH__property)) propertyBad = true;
        break;
      }
      case 4:  // a URID value, where a string would be
        lv2_atom_forge_urid(&forge, urid(GLIMM_LV2_TEXT_URI));
        if (key == urid(LV2_PATCH__value)) valueSeen = true, valueValid = false;
        if (key == urid(LV2_PATCH__property)) property = urid(GLIMM_LV2_TEXT_URI);
        break;
      default:
        lv2_atom_forge_float(&forge, in.nextFloat());
        if (key == urid(LV2_PATCH__value)) valueSeen = true, valueValid = false;
        if (key == urid(LV2_PATCH__property)) propertyBad = true;
    }
  }
  lv2_atom_forge_pop(&forge, &obj);
  // Whether the plug-in must take a text: a patch:Set whose property is the
  // text and whose (last) value is a valid string. Later keys overwrite
  // earlier ones, as they do for the plug-in; a malformed property refuses.
  if (otype == urid(LV2_PATCH__Set) && property == urid(GLIMM_LV2_TEXT_URI) && !propertyBad && valueSeen &&
      valueValid) {
    *setsText = true;
    *text = value;
  }
}

// Reads the plug-in's announcements; each must be a patch:Set of a valid text.
void checkNotify(const LV2_Atom_Sequence* seq, uint32_t capacity, std::string* last) {
  require(seq->atom.size <= capacity - sizeof(LV2_Atom), "notify output overruns its buffer");
  if (seq->atom.size < sizeof(LV2_Atom_Sequence_Body)) return;
  LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
    require(ev->body.type == urid(LV2_ATOM__Object), "an announcement is not an object");
    const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(&ev->body);
    require(obj->body.otype == urid(LV2_PATCH__Set), "an announcement is not a patch:Set");
    const LV2_Atom* value = nullptr;
    LV2_ATOM_OBJECT_FOREACH(obj, prop) {
      if (prop->key == urid(LV2_PATCH__value)) value = &prop->value;
    }
    require(value && value->type == urid(LV2_ATOM__String), "an announcement carries no string");
    const auto* s = reinterpret_cast<const char*>(value + 1);
    require(value->size >= 1 && value->size <= kGlimmTextBufferSize && s[value->size - 1] == 0 &&
                std::strlen(s) == value->size - 1 && glimm::utf8::valid(s, value->size - 1),
            "an announced text is not a terminated UTF-8 string of at most 511 bytes");
    last->assign(s);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit([] { std::fprintf(stderr, "texts taken through patch:Set: %ld\n", gTextsTaken); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  static const double rates[] = {8000, 11025, 22050, 44100, 48000, 88200, 96000, 176400, 192000};
  const double rate = rates[in.next() % 9];
  const LV2_Descriptor* d = lv2_descriptor(0);
  const lv2host::Features features(&gLog, &gSchedule);
  LV2_Handle h = d->instantiate(d, rate, "", features.get());
  require(h != nullptr, "no instance");
  const auto* worker = static_cast<const LV2_Worker_Interface*>(d->extension_data(LV2_WORKER__interface));
  const auto* state = static_cast<const LV2_State_Interface*>(d->extension_data(LV2_STATE__interface));
  gJobs.clear();
  gWorkerFull = false;

  std::string expected;  // the text the plug-in holds
  auto control = std::make_unique<AtomBuffer>();
  auto notify = std::make_unique<AtomBuffer>();
  std::vector<float> out(8192 + 16);
  float params[kGlimmParamCount];
  lv2host::defaultParameters(params);

  for (int block = 0; block < 12 && in.more(); ++block) {
    const uint8_t what = in.next();
    if (what % 7 == 0) {  // restored state of any type and size
      Restore r;
      r.key = in.next() % 4 ? urid(GLIMM_LV2_TEXT_URI) : urid(LV2_PATCH__value);
      r.type = in.next() % 4 ? urid(LV2_ATOM__String) : urid(LV2_ATOM__Int);
      const size_t n = in.next() % 2 ? in.next() % 40 : 500 + in.next() % 30;
      for (size_t i = 0; i < n; ++i) r.value.push_back(in.next() % 3 ? uint8_t('a' + in.next() % 26) : in.next());
      if (in.next() % 3) r.value.push_back(0);
      std::string t;
      const bool valid = r.key == urid(GLIMM_LV2_TEXT_URI) && validText(r.type, r.value.data(), r.value.size(), &t);
      const LV2_State_Status s = state->restore(h, Restore::retrieve, &r, 0, nullptr);
      if (r.key != urid(GLIMM_LV2_TEXT_URI) || r.value.empty()) {
        require(s == LV2_STATE_SUCCESS, "a state without the text was refused");
      } else {
        require((s == LV2_STATE_SUCCESS) == valid, "restore took a bad text or refused a good one");
        if (valid) expected = t;
      }
      require(savedText(state, h) == expected, "saved state differs from the text last taken");
      continue;
    }
    // Ports: connected, left out or moved to fresh storage between blocks.
    const uint8_t wiring = in.next();
    for (float& p : params)
      if (in.next() % 4 == 0) p = in.next() % 2 ? in.nextFloat() : float(in.next());
    lv2host::connectPorts([&](uint32_t port, void* data) { d->connect_port(h, port, data); },
                          wiring & 1 ? control->bytes : nullptr, wiring & 2 ? notify->bytes : nullptr,
                          wiring & 4 ? out.data() + (wiring >> 6) : nullptr, wiring & 8 ? params : nullptr, nullptr);
    gWorkerFull = (wiring & 16) != 0;

    // Cleared each block: a size that claims more than was written must find
    // nothing, not the last block's events, or the model could not know.
    std::memset(control->bytes, 0, sizeof control->bytes);
    lv2host::SequenceWriter events;
    events.begin(control->bytes, sizeof control->bytes);
    bool setsText = false;
    std::string text;
    for (int n = in.next() % 6; n > 0; --n) {
      bool sets = false;
      std::string t;
      writeEvent(in, events, &sets, &t);
      if (sets) setsText = true, text = t;
    }
    events.end();
    if (in.next() % 8 == 0) {
      // A size that claims more than was written (zeros: empty events).
      auto* s = reinterpret_cast<LV2_Atom_Sequence*>(control->bytes);
      s->atom.size = std::min<uint32_t>(s->atom.size + in.next(), sizeof control->bytes - sizeof(LV2_Atom));
    }
    const uint32_t notifyCapacity = in.next() % 2 ? sizeof notify->bytes : in.next() % 160;
    if (notifyCapacity >= sizeof(LV2_Atom)) {
      reinterpret_cast<LV2_Atom*>(notify->bytes)->size = notifyCapacity - sizeof(LV2_Atom);
      reinterpret_cast<LV2_Atom*>(notify->bytes)->type = 0;
    }
    const uint32_t frames = in.next() % 4 == 0 ? (in.next() % 2 ? 0 : 8192) : in.next() * 8;
    if (wiring & 32) {
      if (d->deactivate) d->deactivate(h);
      if (d->activate) d->activate(h);
    }
    d->run(h, frames);

    if ((wiring & 2) && notifyCapacity >= sizeof(LV2_Atom_Sequence)) {
      std::string announced;
      checkNotify(reinterpret_cast<const LV2_Atom_Sequence*>(notify->bytes), notifyCapacity, &announced);
    }
    if (wiring & 4)
      for (uint32_t i = 0; i < frames; ++i) {
        const float v = out[(wiring >> 6) + i];
        require(std::isfinite(v) && v >= -1.0f && v <= 1.0f, "audio out of range");
      }
    for (const auto& job : gJobs)
      require(worker->work(h, respond, nullptr, uint32_t(job.size()), job.data()) == LV2_WORKER_SUCCESS,
              "the plug-in's own job failed");
    gJobs.clear();
    // A text is taken when the worker had room and the event was read.
    if (setsText && (wiring & 1) && !gWorkerFull) {
      expected = text;
      ++gTextsTaken;
    }
    require(savedText(state, h) == expected, "saved state differs from the text last taken");
  }
  d->cleanup(h);
  return 0;
}
