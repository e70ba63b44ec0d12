#include "PluginState.h"

#include "GlimmContract.h"
#include "Utf8.h"
#include "VoiceController.h"

#include <cmath>
#include <cstring>
#include <string>

namespace glimm::state {

namespace {

constexpr char kMagic[4] = {'G', 'L', 'M', 'S'};
constexpr uint32_t kVersion = 1;
// Parameters of later versions are passed over, up to this many.
constexpr uint32_t kMaxParameters = 256;

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void putString(std::vector<uint8_t>& out, const char* s, size_t n) {
  putU32(out, uint32_t(n));
  out.insert(out.end(), s, s + n);
}

// Reads forward through the stream; any read past its end fails from then on.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_left(data ? size : 0) {}
  bool u32(uint32_t& v) {
    if (m_left < 4) return m_ok = false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(m_data[i]) << (8 * i);
    skip(4);
    return true;
  }
  // A length and that many bytes of UTF-8 without a NUL, at most `max` of them.
  bool string(std::string& s, size_t max) {
    uint32_t n = 0;
    if (!u32(n) || n > max || n > m_left) return m_ok = false;
    const char* p = reinterpret_cast<const char*>(m_data);
    if (std::memchr(p, 0, n) || !glimm::utf8::valid(p, n)) return m_ok = false;
    s.assign(p, n);
    skip(n);
    return true;
  }
  bool magic() {
    if (m_left < sizeof kMagic || std::memcmp(m_data, kMagic, sizeof kMagic) != 0) return m_ok = false;
    skip(sizeof kMagic);
    return true;
  }
  bool atEnd() const { return m_ok && m_left == 0; }

 private:
  void skip(size_t n) {
    m_data += n;
    m_left -= n;
  }
  const uint8_t* m_data;
  size_t m_left;
  bool m_ok = true;
};

struct Decoded {
  float params[kGlimmParamCount];
  std::string text, voice;
};

bool decode(const uint8_t* data, size_t size, Decoded& d) {
  if (size > kMaxBytes) return false;
  Reader r(data, size);
  uint32_t version = 0, count = 0;
  if (!r.magic() || !r.u32(version) || version != kVersion || !r.u32(count) || count > kMaxParameters) return false;
  for (const GlimmParameterFacts& p : kGlimmParameters) d.params[p.index] = p.defaultValue;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t bits = 0;
    if (!r.u32(bits)) return false;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) return false;
    if (i < uint32_t(kGlimmParamCount)) d.params[i] = v;
  }
  return r.string(d.text, kGlimmTextMaxBytes) && r.string(d.voice, kGlimmVoiceMaxBytes) && !d.voice.empty() &&
         r.atEnd();
}

}  // namespace

std::vector<uint8_t> save(const VoiceController& voice) {
  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  putU32(out, kVersion);
  putU32(out, kGlimmParamCount);
  for (int i = 0; i < kGlimmParamCount; ++i) {
    const float v = voice.parameter(i);
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(out, bits);
  }
  char text[kGlimmTextBufferSize];
  voice.copyText(text);
  putString(out, text, strnlen(text, kGlimmTextMaxBytes));
  char name[kGlimmVoiceBufferSize];
  voice.copyVoice(name);
  putString(out, name, strnlen(name, kGlimmVoiceMaxBytes));
  return out;
}

bool load(VoiceController& voice, const uint8_t* data, size_t size) {
  Decoded d;
  if (!decode(data, size, d)) return false;
  for (int i = 0; i < kGlimmParamCount; ++i) voice.setParameter(i, d.params[i]);
  voice.setText(d.text.data(), d.text.size());
  voice.setVoice(d.voice.c_str());
  return true;
}

}  // namespace glimm::state
