// Aligned 32-bit device-memory access.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

UINT32 ReadMmio32(UINT64 Address);
// Returns Value.
UINT32 WriteMmio32(UINT64 Address, UINT32 Value);
