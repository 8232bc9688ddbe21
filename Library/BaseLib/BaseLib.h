// Length of zero-ended strings of 1-byte characters.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// The longest string any routine here accepts, fixed when the driver is built.
constexpr UINT64 _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength = 1000000;

// Characters before the first zero byte, reading at most Limit bytes; 0 for a null String.
UINT64 AsciiStrnLenS(const CHAR8* String, UINT64 Limit);
// Characters before the first zero byte; reports strings longer than the maximum.
UINT64 AsciiTextLength(const CHAR8* String);
