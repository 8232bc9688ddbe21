// Failed assertions and smashed stack guards: one line on the serial port, then a halt that only a
// debugger can release.
#include "Library/SerialDebugLib/SerialDebugLib.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BasePrintLib/PrintLib.h"
#include "Library/SerialDebugLib/MessageBuffer.h"

namespace {
constexpr const CHAR8* MODULE_NAME = "VeskLapicTimerDxe";
// "VeskLapicTimerDxe+0x" and up to sixteen hexadecimal digits.
constexpr UINT64 CODE_PLACE_SIZE = 40;
} // namespace

// Stored in the image's read-only data; nothing writes it at run time.
extern "C" const UINT64 mStackGuard = 0x0AFF;

VOID ReportAssertion(const CHAR8* FileName, UINT64 LineNumber, const CHAR8* Description) {
  CHAR8 Buffer[MESSAGE_BUFFER_SIZE];
  FormatText(Buffer, sizeof(Buffer), "ASSERT [%a] %a(%d): %a\n", MODULE_NAME, FileName, LineNumber,
             Description);
  WriteMessage(Buffer);
  HaltUntilReleased();
}

VOID ReportFailedStatusCheck(BOOLEAN OutputEnabled, EFI_STATUS Status, const CHAR8* FileName,
                             UINT64 LineNumber) {
  if (OutputEnabled) {
    EmitDebugMessage(DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", Status);
  }
  ReportAssertion(FileName, LineNumber, "!EFI_ERROR (Status)");
}

// Not guarded itself: it runs because a guard already failed. Like an assertion, the report is
// written whether or not messages are wanted. The function whose guard failed is
// named by the place of its call here, as an offset into the image that the linker map resolves;
// the return address is backed up by one byte, since the call may be the function's last
// instruction.
__attribute__((no_stack_protector)) VOID ReportStackFault() {
  UINT64 CallPlace = reinterpret_cast<UINTN>(__builtin_return_address(0)) - 1;
  CHAR8 Place[CODE_PLACE_SIZE];
  FormatText(Place, sizeof(Place), "%a+0x%lX", MODULE_NAME, CallPlace - LoadedImageBase());
  EmitDebugMessage(DEBUG_ERROR, "STACK FAULT: Buffer Overflow in function %a.\n", Place);
  HaltUntilReleased();
}
