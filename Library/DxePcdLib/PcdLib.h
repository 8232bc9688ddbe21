// Reads of the platform configuration database, located on first use.
#pragma once

#include "UefiDefinitions/PcdProtocol.h"

extern PCD_PROTOCOL* mPcd;

// Reads the 32-bit value of TokenNumber.
UINT32 LibPcdGet32(UINTN TokenNumber);
