#include "VeskBoardCheck/ReferenceClocks.h"

#include "HardwareAccess/HardwareAccess.h"
#include "VeskBoardCheck/Decisions.h"

namespace {
constexpr UINT64 PIT_HZ = 1193182;
constexpr UINT64 PM_TIMER_HZ = 3579545;
constexpr UINT64 PARTS_PER_MILLION = 1000000;

constexpr UINT16 PIT_CHANNEL2_PORT = 0x42;
constexpr UINT16 PIT_MODE_PORT = 0x43;
// Channel 2, low byte then high byte, mode 0 (the output goes high when the count reaches 0).
constexpr UINT8 PIT_CHANNEL2_ONE_SHOT = 0xB0;
constexpr UINT16 SYSTEM_CONTROL_PORT = 0x61;
constexpr UINT8 SYSTEM_CONTROL_GATE2 = 0x01;
constexpr UINT8 SYSTEM_CONTROL_SPEAKER = 0x02;
constexpr UINT8 SYSTEM_CONTROL_WRITABLE = 0x0F;
constexpr UINT8 SYSTEM_CONTROL_OUT2 = 0x20;

// A first short round finds out whether the clock counts at all; the rounds that measure are
// about 10 ms each.
constexpr UINT16 PIT_PROBE_COUNT = 1193;  // 1 ms
constexpr UINT16 PIT_ROUND_COUNT = 11932; // 10 ms
constexpr UINT32 PM_PROBE_TICKS = 3580;   // 1 ms
constexpr UINT32 PM_ROUND_TICKS = 35795;  // 10 ms
constexpr UINT32 PM_TIMER_24_BITS = 0xFFFFFF;
constexpr UINT32 PM_TIMER_32_BITS = 0xFFFFFFFF;

// A round's wait ends once the TSC has run for the round's time at this rate, twice the fastest
// TSC there is, so that a clock that stopped costs little. A TSC that crawls is stopped by a poll
// count: no clock read takes less than a few nanoseconds, so this many polls per tick of the
// reference clock is ample. A TSC that does not move at all is given up on sooner: no I/O port
// reads in less than a TSC tick, let alone this many.
constexpr UINT64 TSC_LIMIT_HZ = 20000000000;
constexpr UINT64 POLLS_PER_REFERENCE_TICK = 1000;
constexpr UINT64 POLLS_WITH_TSC_STILL = 1000;
// A round that ends in time took at most TscLimit TSC ticks for at least its reference ticks, so
// it measures at most TSC_LIMIT_HZ.
static_assert(TSC_LIMIT_HZ < MEASURED_HZ_LIMIT, "no round measures beyond the limit");

struct RoundTiming {
  UINT64 Start;
  UINT64 TscLimit;
  UINT64 PollLimit;
  UINT64 Polls;
};

RoundTiming StartRound(UINT64 ReferenceTicks, UINT64 ReferenceHz) {
  return {TscRead(), ReferenceTicks * (TSC_LIMIT_HZ / ReferenceHz),
          ReferenceTicks * POLLS_PER_REFERENCE_TICK, 0};
}

bool RoundOver(RoundTiming& Round, UINT64 Now) {
  ++Round.Polls;
  if (Now == Round.Start) {
    return Round.Polls > POLLS_WITH_TSC_STILL;
  }
  return Now - Round.Start > Round.TscLimit || Round.Polls > Round.PollLimit;
}

// The TSC's rate while channel 2 counts Count down; 0 when it did not reach 0 in time. The counter
// takes the count at the first clock after it is written, which lies 0 to 1 clock after the write,
// and counts it down at the next Count clocks: the output goes high Count + 1/2 clocks after the
// write, on average. Writing the mode sets the output low: an output already high is no 8254 (a
// port without a device reads 0xFF).
UINT64 PitRoundRate(UINT16 Count) {
  PortWrite8(PIT_MODE_PORT, PIT_CHANNEL2_ONE_SHOT);
  PortWrite8(PIT_CHANNEL2_PORT, static_cast<UINT8>(Count & 0xFF));
  PortWrite8(PIT_CHANNEL2_PORT, static_cast<UINT8>(Count >> 8));
  RoundTiming Round = StartRound(Count, PIT_HZ);
  if ((PortRead8(SYSTEM_CONTROL_PORT) & SYSTEM_CONTROL_OUT2) != 0) {
    return 0;
  }
  for (;;) {
    const bool Reached = (PortRead8(SYSTEM_CONTROL_PORT) & SYSTEM_CONTROL_OUT2) != 0;
    const UINT64 Now = TscRead();
    if (RoundOver(Round, Now)) {
      return 0;
    }
    if (Reached) {
      return (Now - Round.Start) * PIT_HZ * 2 / (2 * Count + 1);
    }
  }
}

// The TSC's rate while the PM timer advances by at least Ticks; 0 when it did not in time.
UINT64 PmRoundRate(UINT16 Port, UINT32 Mask, UINT32 Ticks) {
  const UINT32 First = PortRead32(Port) & Mask;
  RoundTiming Round = StartRound(Ticks, PM_TIMER_HZ);
  for (;;) {
    const UINT32 Passed = ((PortRead32(Port) & Mask) - First) & Mask;
    const UINT64 Now = TscRead();
    if (RoundOver(Round, Now)) {
      return 0;
    }
    if (Passed >= Ticks) {
      return (Now - Round.Start) * PM_TIMER_HZ / Passed;
    }
  }
}
} // namespace

RateMeasurement SummarizeRates(UINT64* Rates, UINT32 Count) {
  for (UINT32 Sorted = 1; Sorted < Count; ++Sorted) {
    for (UINT32 Index = Sorted; Index > 0 && Rates[Index - 1] > Rates[Index]; --Index) {
      const UINT64 Larger = Rates[Index - 1];
      Rates[Index - 1] = Rates[Index];
      Rates[Index] = Larger;
    }
  }
  const UINT64 Median = Rates[Count / 2];
  const UINT64 Spread = Rates[Count - 1] - Rates[0];
  return {Median != 0, Median, Median != 0 ? Spread * PARTS_PER_MILLION / Median : 0};
}

RateMeasurement MeasureAgainstPit(EFI_BOOT_SERVICES* BootServices) {
  RateMeasurement Measured = {FALSE, 0, 0};
  UINT64 Rates[MEASUREMENT_ROUNDS];
  // The probe first; a clock that does not count ends the measurement there.
  for (UINT32 Round = 0; Round <= MEASUREMENT_ROUNDS; ++Round) {
    const EFI_TPL Tpl = BootServices->RaiseTPL(TPL_NOTIFY);
    const UINT8 Found = PortRead8(SYSTEM_CONTROL_PORT);
    // The gate lets channel 2 count; the speaker stays silent.
    PortWrite8(SYSTEM_CONTROL_PORT,
               static_cast<UINT8>((Found & SYSTEM_CONTROL_WRITABLE & ~SYSTEM_CONTROL_SPEAKER) |
                                  SYSTEM_CONTROL_GATE2));
    const UINT64 Rate = PitRoundRate(Round == 0 ? PIT_PROBE_COUNT : PIT_ROUND_COUNT);
    PortWrite8(SYSTEM_CONTROL_PORT, static_cast<UINT8>(Found & SYSTEM_CONTROL_WRITABLE));
    BootServices->RestoreTPL(Tpl);
    if (Rate == 0) {
      return Measured;
    }
    if (Round != 0) {
      Rates[Round - 1] = Rate;
    }
  }
  return SummarizeRates(Rates, MEASUREMENT_ROUNDS);
}

RateMeasurement MeasureAgainstPmTimer(UINT16 Port, BOOLEAN Counts32Bits) {
  const UINT32 Mask = Counts32Bits ? PM_TIMER_32_BITS : PM_TIMER_24_BITS;
  if (PmRoundRate(Port, Mask, PM_PROBE_TICKS) == 0) {
    return {FALSE, 0, 0};
  }
  UINT64 Rates[MEASUREMENT_ROUNDS];
  for (UINT32 Round = 0; Round < MEASUREMENT_ROUNDS; ++Round) {
    Rates[Round] = PmRoundRate(Port, Mask, PM_ROUND_TICKS);
    if (Rates[Round] == 0) {
      return {FALSE, 0, 0};
    }
  }
  return SummarizeRates(Rates, MEASUREMENT_ROUNDS);
}
