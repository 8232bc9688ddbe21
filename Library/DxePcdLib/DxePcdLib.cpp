// Reads of the platform configuration database. Its protocol is looked up the first time a value
// is needed and kept from then on.
#include "Library/DxePcdLib/PcdLib.h"

#include "Library/SerialDebugLib/SerialDebugLib.h"
#include "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.h"

PCD_PROTOCOL* mPcd = nullptr;

namespace {
// A missing database is a broken firmware: reported, then (if a debugger releases the halt) left
// null so that callers read 0 instead of following a pointer from a failed lookup.
PCD_PROTOCOL* PcdProtocol() {
  if (mPcd == nullptr && gBS != nullptr) {
    VOID* Interface = nullptr;
    const EFI_STATUS Status = gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, &Interface);
    mPcd = EFI_ERROR(Status) ? nullptr : static_cast<PCD_PROTOCOL*>(Interface);
    ASSERT_EFI_ERROR(Status);
  }
  // clang-format off
  ASSERT(mPcd != ((void *) 0));
  // clang-format on
  return mPcd;
}
} // namespace

UINT32 LibPcdGet32(UINTN TokenNumber) {
  PCD_PROTOCOL* Pcd = PcdProtocol();
  if (Pcd == nullptr) {
    return 0;
  }
  return Pcd->Get32(TokenNumber);
}
