// The driver's copies of the firmware-wide table pointers.
#pragma once

#include "UefiDefinitions/UefiSystemTable.h"

extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE* gST;
extern EFI_BOOT_SERVICES* gBS;

// Stores the image handle, the system table and its boot services; each must be non-null.
VOID BindFirmwareTables(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);
