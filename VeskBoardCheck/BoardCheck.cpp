// The board check: an EFI application a platform engineer runs from the shell on the board, before
// the timer driver goes into its firmware.
#include "VeskBoardCheck/Console.h"

#include "UefiDefinitions/UefiSystemTable.h"

extern "C" EFI_STATUS EFIAPI BoardCheckEntry(EFI_HANDLE ImageHandle,
                                             EFI_SYSTEM_TABLE* SystemTable) {
  (void)ImageHandle;
  if (SystemTable == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  BindConsole(static_cast<EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*>(SystemTable->ConOut));
  ConsolePrint("board-check: %a\n", "inspect");
  return EFI_SUCCESS;
}
