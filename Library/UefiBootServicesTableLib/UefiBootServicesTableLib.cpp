// The firmware-wide table pointers, bound once at entry and kept for the life of the image.
#include "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.h"

#include "Library/SerialDebugLib/SerialDebugLib.h"

EFI_HANDLE gImageHandle = nullptr;
EFI_SYSTEM_TABLE* gST = nullptr;
EFI_BOOT_SERVICES* gBS = nullptr;

VOID BindFirmwareTables(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  // The reports quote the checks as written here, so these lines keep their spacing.
  // clang-format off
  gImageHandle = ImageHandle;
  ASSERT(gImageHandle != ((void *) 0));

  gST = SystemTable;
  ASSERT(gST != ((void *) 0));

  // Without a system table there are no boot services to read: a released report leaves gBS null.
  gBS = gST != nullptr ? gST->BootServices : nullptr;
  ASSERT(gBS != ((void *) 0));
  // clang-format on
}
