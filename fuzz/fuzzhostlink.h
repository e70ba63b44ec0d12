// A host link whose speech unit is a 512-byte text store that behaves like the
// real unit's: a set keeps at most 511 bytes up to the terminator and zeroes
// the rest; a get hands out all 512 bytes. Parameter writes and play requests
// are recorded.
#pragma once

#include <cstddef>

namespace fuzzlink {

// The host context the editor is given; any other (or none) reaches no unit.
extern int context;

extern unsigned char unitStore[512];
extern int textSets;      // setTextProperty calls that reached the unit
extern int foreignCalls;  // calls with a wrong context, ID or size
// Parameter writes and play requests that reached the unit.
extern int parameterSets;
extern int lastParameterIndex;
extern float lastParameterValue;
extern int plays;

// Puts raw bytes into the store as the unit's text: the first min(size, 512)
// bytes, zeroes after them.
void putUnitBytes(const unsigned char* data, size_t size);

}  // namespace fuzzlink
