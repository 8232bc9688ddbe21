// The local APIC timer in one-shot mode: it counts its initial count down at its input clock
// divided by the divide register, and raises its interrupt when the count reaches zero. The
// input clock is nothing the processor states reliably (the bus or crystal clock on Intel, an
// unnamed clock on AMD, whatever an emulator chose, and emulators copy a real part's CPUID leaf
// 0x15), so its rate is measured against the TSC, and every deadline, a TSC value, is turned into
// a count at that rate.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// The timer counted Counts while the TSC advanced by TscTicks. Counts 0: it did not count.
struct ApicTimerRate {
  UINT32 Counts;
  UINT32 TscTicks;
};

// Measures the rate at divide-by-1, which the divide register is left at: the timer counts down
// from its largest count for at least WindowTscTicks, then stops (initial count 0). The caller has
// interrupts off and the LVT timer in one-shot mode, masked. A TSC that does not move, or a timer
// that does not count, ends the measurement after a bounded number of reads.
ApicTimerRate MeasureApicTimerRate(UINT64 WindowTscTicks);

// The timer's input rate in Hz, for a TSC of TscHz.
UINT64 ApicTimerHz(ApicTimerRate Rate, UINT64 TscHz);

// Starts a count that ends no earlier than the TSC value Deadline, counted from a TSC read made
// here: the TSC ticks left, converted at Rate and rounded up, at least 1 (a count of 0 would stop
// the timer) and at most the 32-bit counter's largest. A deadline further away than that ends the
// count early; the caller arms the rest when it comes.
VOID ArmApicTimer(UINT64 Deadline, ApicTimerRate Rate);
