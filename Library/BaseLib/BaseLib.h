// Length of zero-ended strings of 1-byte characters, and the scaling of a count by a ratio.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// The longest string any routine here accepts, fixed when the driver is built.
constexpr UINT64 _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength = 1000000;

// Characters before the first zero byte, reading at most Limit bytes; 0 for a null String.
UINT64 AsciiStrnLenS(const CHAR8* String, UINT64 Limit);
// Characters before the first zero byte; reports strings longer than the maximum.
UINT64 AsciiTextLength(const CHAR8* String);

// Value x Multiplier / Divisor, the product kept whole in 128 bits; rounded down, or up when
// RoundUp. A quotient beyond 64 bits, or a Divisor of 0, gives 2^64 - 1.
UINT64 MultiplyDivide(UINT64 Value, UINT64 Multiplier, UINT32 Divisor, BOOLEAN RoundUp);
