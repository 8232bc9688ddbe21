// The PC's 8254 interval timer, used as a clock independent of the TSC: it counts at 1.193182 MHz
// whatever the processor does, so timing a known count of it with the TSC measures the TSC's rate.
#pragma once

#include <stdint.h>

namespace IntervalTimer {

constexpr uint64_t INPUT_HZ = 1193182;

// TSC ticks per second, measured over Count cycles of the timer's channel 2.
uint64_t MeasureTscFrequency(uint16_t Count);

// Channel 0 raises its output (interrupt line 0 of the 8259) every Count cycles.
void StartPeriodic(uint16_t Count);

} // namespace IntervalTimer
