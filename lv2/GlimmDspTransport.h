// The host's transport as time:Position objects on the control port tell it:
// whether the song starts rolling or jumps (a locate, a loop), where the lyric
// starts again so every pass over a region sings the same words.
//
// Threads: run() only, after instantiation: no lock, no allocation.
#pragma once

#include "GlimmLv2Messages.h"

#include <lv2/atom/atom.h>

#include <cstdint>

namespace glimm::dsp {

class Transport {
 public:
  // `uris` outlives the transport.
  explicit Transport(const glimm::lv2::Uris& uris) : m_uris(uris) {}

  enum class Change { NotPosition, Same, Restart };
  // Reads one event's atom, `now` frames into the instance's life (its own
  // clock, which the song frame is checked against). The atom's size must
  // already have been checked against what encloses it.
  Change read(const LV2_Atom& atom, uint64_t now);

 private:
  bool number(const LV2_Atom& value, double& out) const;

  const glimm::lv2::Uris& m_uris;
  bool m_rolling = false;
  double m_rate = 0;  // song frames per frame of the clock
  bool m_placed = false;
  double m_songFrame = 0;  // where the song was at m_placedAt
  uint64_t m_placedAt = 0;
};

}  // namespace glimm::dsp
