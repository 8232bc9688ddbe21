// The TSC's rate, measured against clocks that do not depend on it: the 8254's channel 2 and the
// ACPI power-management timer. Each is read over several rounds; a clock that does not count (or a
// TSC that does not) ends its measurement within a bounded time.
#pragma once

#include "UefiDefinitions/UefiSystemTable.h"
#include "VeskBoardCheck/Decisions.h"

constexpr UINT32 MEASUREMENT_ROUNDS = 5;

// The 8254's channel 2 through ports 0x42, 0x43 and 0x61. Each round runs at TPL_NOTIFY, so that no
// firmware callback writes port 0x61 between the round's saving it and its putting it back; the
// counter itself is left in mode 0 (port 0x43 cannot be read, so what was there is not known).
RateMeasurement MeasureAgainstPit(EFI_BOOT_SERVICES* BootServices);
RateMeasurement MeasureAgainstPmTimer(UINT16 Port, BOOLEAN Counts32Bits);

// The median and spread of Count rates (sorted in place); Count is at least 1.
RateMeasurement SummarizeRates(UINT64* Rates, UINT32 Count);
