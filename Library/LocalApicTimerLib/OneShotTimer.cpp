#include "Library/LocalApicTimerLib/OneShotTimer.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BaseLib/BaseLib.h"
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

namespace {
// Divide configuration register: bits 0, 1 and 3; 1011b divides by 1. It resets to 0000b, divide
// by 2, but emulators count at divide by 1 until it is written: it is always written.
constexpr UINT32 TIMER_DIVIDE_BY_1 = 0xB;
constexpr UINT32 LARGEST_COUNT = 0xFFFFFFFF;
// The measuring loop reads the TSC and the current count; a local APIC read takes well under a
// microsecond, so this many reads outlast any window of a few milliseconds.
constexpr UINT64 MEASURING_READS_LIMIT = 1ULL << 18;
constexpr UINT32 HALF_SHIFT = 32;
} // namespace

ApicTimerRate MeasureApicTimerRate(UINT64 WindowTscTicks) {
  ApicRegisterWrite(XAPIC_TIMER_DIVIDE_OFFSET, TIMER_DIVIDE_BY_1);
  ApicRegisterWrite(XAPIC_TIMER_INITIAL_COUNT_OFFSET, LARGEST_COUNT);
  // Each sample reads the TSC, then the count, in the same order, so that the time between the two
  // reads cancels out of the differences.
  const UINT64 FirstTsc = TscRead();
  const UINT32 FirstCount = ApicRegisterRead(XAPIC_TIMER_CURRENT_COUNT_OFFSET);
  UINT64 Tsc = FirstTsc;
  UINT32 Count = FirstCount;
  for (UINT64 Reads = 0;
       Tsc - FirstTsc < WindowTscTicks && Count != 0 && Reads < MEASURING_READS_LIMIT; ++Reads) {
    Tsc = TscRead();
    Count = ApicRegisterRead(XAPIC_TIMER_CURRENT_COUNT_OFFSET);
  }
  ApicRegisterWrite(XAPIC_TIMER_INITIAL_COUNT_OFFSET, 0);

  // A count that did not go down is no count.
  UINT32 Counts = Count < FirstCount ? FirstCount - Count : 0;
  UINT64 Ticks = Tsc - FirstTsc;
  // Halved together until the TSC ticks fit the conversion's 32-bit divisor; the ratio stays.
  while ((Ticks >> HALF_SHIFT) != 0) {
    Ticks >>= 1;
    Counts >>= 1;
  }
  if (Counts == 0 || Ticks == 0) {
    return {0, 0};
  }
  return {Counts, static_cast<UINT32>(Ticks)};
}

UINT64 ApicTimerHz(ApicTimerRate Rate, UINT64 TscHz) {
  return Rate.Counts == 0 ? 0 : MultiplyDivide(Rate.Counts, TscHz, Rate.TscTicks, FALSE);
}

VOID ArmApicTimer(UINT64 Deadline, ApicTimerRate Rate) {
  const UINT64 Now = TscRead();
  const UINT64 Counts =
      Deadline > Now ? MultiplyDivide(Deadline - Now, Rate.Counts, Rate.TscTicks, TRUE) : 0;
  ApicRegisterWrite(XAPIC_TIMER_INITIAL_COUNT_OFFSET, Counts == 0 ? 1
                                                      : Counts > LARGEST_COUNT
                                                          ? LARGEST_COUNT
                                                          : static_cast<UINT32>(Counts));
}
