#include "VeskLapicTimerDxe/VeskLapicTimer.h"

#include "Library/SerialDebugLib/SerialDebugLib.h"

extern "C" EFI_STATUS EFIAPI LapicTimerDriverEntry(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE* SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  InitDebugSerial();
  if (DebugOutputEnabled()) {
    EmitDebugMessage(DEBUG_INFO, "Initializing LAPIC Timer Driver\n");
  }
  return EFI_SUCCESS;
}
