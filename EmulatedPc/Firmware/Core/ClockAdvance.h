// Lets the machine's time run on before the driver is loaded, so that the driver meets the TSC of
// a machine that has been up for a while: past 32 bits, or just short of a boundary of its low
// half. The processor sleeps until the local APIC's TSC-deadline timer wakes it at the target,
// and the emulator skips the idle time instead of executing it (about 2^33 ticks a second).
//
// Writing the TSC (MSR 0x10) would be quicker, but the emulator's deadline timer goes on
// comparing deadlines with its own count: after a write of +N every tick came N ticks late.
#pragma once

#include <stdint.h>

namespace ClockAdvance {

// Needs a TSC-deadline timer; leaves the local APIC as it found it, the timer disarmed.
void SleepUntil(uint64_t Tsc);

} // namespace ClockAdvance
