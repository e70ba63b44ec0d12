// Turning the platform's run loop and Qt's event queue by hand, the way a
// host's event loop would, without sleeping blindly.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

namespace torture {

// Set both when the platform runs on a logical clock (GlimmCFSetLogicalClock):
// runUntilIdle then moves the clock to each due delivery instead of waiting.
extern SInt64 (*logicalClock)();
extern void (*advanceLogicalClock)(SInt64 to);

// One turn: Qt's posted events, then the run loop's default mode once, then
// whatever that posted.
void runTurn();

// Turns until nothing is due or scheduled: coalesced value changes whose
// interval has not passed yet are waited for on the run loop's descriptor.
// False when work keeps coming for `maxSeconds` (an exchange that never
// comes to rest).
bool runUntilIdle(double maxSeconds = 5.0);

}  // namespace torture
