#include "GlimmDspTransport.h"

#include "GlimmLv2Messages.h"

#include <cmath>
#include <cstring>

namespace glimm::dsp {

bool Transport::number(const LV2_Atom& value, double& out) const {
  const void* body = &value + 1;
  if (value.type == m_uris.atomFloat && value.size >= sizeof(float)) {
    float v;
    std::memcpy(&v, body, sizeof v);
    out = v;
  } else if (value.type == m_uris.atomDouble && value.size >= sizeof(double)) {
    std::memcpy(&out, body, sizeof out);
  } else if (value.type == m_uris.atomInt && value.size >= sizeof(int32_t)) {
    int32_t v;
    std::memcpy(&v, body, sizeof v);
    out = v;
  } else if (value.type == m_uris.atomLong && value.size >= sizeof(int64_t)) {
    int64_t v;
    std::memcpy(&v, body, sizeof v);
    out = double(v);
  } else {
    return false;
  }
  return std::isfinite(out);
}

Transport::Change Transport::read(const LV2_Atom& atom, uint64_t now) {
  const bool object = m_uris.isObject(atom.type);
  if (!object || atom.size < sizeof(LV2_Atom_Object_Body)) return Change::NotPosition;
  const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(&atom);
  if (obj->body.otype != m_uris.timePosition) return Change::NotPosition;
  // Walked by hand, every size checked against the object's, as patches are.
  bool hasSpeed = false, hasFrame = false;
  double speed = 0, frame = 0;
  const auto* base = reinterpret_cast<const uint8_t*>(&obj->body);
  for (uint64_t off = sizeof(LV2_Atom_Object_Body); off + sizeof(LV2_Atom_Property_Body) <= atom.size;) {
    const auto* prop = reinterpret_cast<const LV2_Atom_Property_Body*>(base + off);
    if (prop->value.size > atom.size - off - sizeof(LV2_Atom_Property_Body)) break;
    if (prop->key == m_uris.timeSpeed) hasSpeed = number(prop->value, speed);
    if (prop->key == m_uris.timeFrame) hasFrame = number(prop->value, frame);
    off += sizeof(LV2_Atom_Property_Body) + lv2::pad(prop->value.size);
  }
  // Where the song would be now had it kept going since the last position.
  const double elapsed = double(now - m_placedAt);
  const double expected = m_songFrame + elapsed * m_rate;
  if (!hasSpeed) speed = m_rate;
  const bool rolling = speed != 0;
  bool restart = rolling && !m_rolling;
  // Hosts send a position on every change, some on every block: only a
  // frame away from where the song would be is a jump. A little slack
  // covers rounding at a speed other than 1.
  if (rolling && m_rolling && hasFrame && m_placed && std::fabs(frame - expected) > 2.0 + 1e-3 * elapsed)
    restart = true;
  m_rolling = rolling;
  m_rate = speed;
  if (hasFrame || m_placed) {
    m_songFrame = hasFrame ? frame : expected;
    m_placedAt = now;
    m_placed = true;
  }
  return restart ? Change::Restart : Change::Same;
}

}  // namespace glimm::dsp
