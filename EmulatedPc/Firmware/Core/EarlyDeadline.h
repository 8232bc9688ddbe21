// A TSC-deadline erratum, staged for the board check's exercise: once, as the exercise lowers the
// TPL after arming a deadline, with the local APIC timer unmasked in TSC-deadline mode and the
// deadline well ahead, the firmware clears the deadline, as the timer does when it fires, and sends
// the timer's vector to the processor itself, so that the interrupt arrives before its deadline.
#pragma once

#include <stdint.h>

namespace EarlyDeadline {

void Start();
// Stops watching and reports how many deadlines fired early, and how far ahead of its deadline.
void Stop();

} // namespace EarlyDeadline
