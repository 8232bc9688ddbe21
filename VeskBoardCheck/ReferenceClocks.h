// The TSC's rate, measured against clocks that do not depend on it: the 8254's channel 2 and the
// ACPI power-management timer. Each is read over several rounds; a clock that does not count (or a
// TSC that does not) ends its measurement within a bounded time.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

constexpr UINT32 MEASUREMENT_ROUNDS = 5;

struct RateMeasurement {
  BOOLEAN Counted;  // false: the clock (or the TSC) did not count within its time
  UINT64 Hz;        // the median of the rounds
  UINT64 SpreadPpm; // (fastest - slowest) / median, in parts per million
};

// The 8254's channel 2 through ports 0x42, 0x43 and 0x61; port 0x61 is left as it was found.
RateMeasurement MeasureAgainstPit();
RateMeasurement MeasureAgainstPmTimer(UINT16 Port, BOOLEAN Counts32Bits);

// The median and spread of Count rates (sorted in place); Count is at least 1.
RateMeasurement SummarizeRates(UINT64* Rates, UINT32 Count);
