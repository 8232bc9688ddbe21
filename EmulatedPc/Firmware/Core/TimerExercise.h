// The firmware core's side of the timer: after the driver's entry, it finds the installed Timer
// Architectural Protocol and uses it the way a firmware core does, while it measures what the
// driver does and reports it as "[pc] key=value" lines.
#pragma once

#include <stdint.h>

namespace TimerExercise {

struct Plan {
  uint64_t TscFrequency; // TSC ticks per second
  uint64_t Period;       // tick period to ask for, in 100 ns units
  uint64_t SpanPeriods;  // length of the counting window, in periods, but at most one second each
};

void Run(const Plan& Settings);

} // namespace TimerExercise
