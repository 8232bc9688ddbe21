// A TSC-deadline erratum, staged for the board check's exercise: once, while the local APIC timer
// is unmasked in TSC-deadline mode with a deadline well ahead, the firmware clears the deadline, as
// the timer does when it fires, and sends the timer's vector to the processor itself, so that the
// interrupt arrives before its deadline. The 8254 gives the firmware its turns, through the 8259.
#pragma once

#include <stdint.h>

namespace EarlyDeadline {

void Start();
// Stops the turns and reports how many deadlines fired early, and how far ahead of its deadline.
void Stop();

} // namespace EarlyDeadline
