// Diagnostics on the first legacy serial port: set-up, raw output, levelled messages, assertion
// reports and the stack-guard fault report.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

constexpr UINT32 DEBUG_INFO = 0x40;
constexpr UINT32 DEBUG_ERROR = 0x80000000;

// The debug UART (COM1 unless the build chose another port) at its rate (115200 baud unless the
// build chose another), 8 data bits, no parity, two stop bits.
VOID InitDebugSerial();
// Writes Count bytes, polling before each one until the transmitter can take it; returns Count.
UINT64 WriteDebugSerial(const UINT8* Buffer, UINT64 Count);
// Whether the build wants progress and error messages (true unless it was configured with
// VESK_DEBUG_MESSAGES=OFF); callers ask before they format a message.
BOOLEAN DebugOutputEnabled();
// Formats one message into a 256-byte stack buffer and writes it, whatever the level.
VOID EFIAPI EmitDebugMessage(UINT32 ErrorLevel, const CHAR8* Format, ...);
// Writes "ASSERT [VeskLapicTimerDxe] file(line): expression" and halts until a debugger
// releases the halt.
VOID ReportAssertion(const CHAR8* FileName, UINT64 LineNumber, const CHAR8* Description);

// The report of a failed status check: "\nASSERT_EFI_ERROR (Status = <name>)\n" when messages are
// wanted (the caller's answer from DebugOutputEnabled), then the assertion "!EFI_ERROR (Status)" at
// the place of the check.
VOID ReportFailedStatusCheck(BOOLEAN OutputEnabled, EFI_STATUS Status, const CHAR8* FileName,
                             UINT64 LineNumber);

// The compiler's stack protector copies this value into every guarded frame and calls
// ReportStackFault when the copy no longer matches on the way out.
extern "C" const UINT64 mStackGuard asm("__stack_chk_guard");
extern "C" VOID ReportStackFault() asm("__stack_chk_fail");

#define ASSERT(Expression)                                                                         \
  do {                                                                                             \
    if (!(Expression)) {                                                                           \
      ReportAssertion(__FILE__, __LINE__, #Expression);                                            \
    }                                                                                              \
  } while (false)

// A status check: an error status is printed by name, then reported as a failed assertion.
#define ASSERT_EFI_ERROR(StatusValue)                                                              \
  do {                                                                                             \
    EFI_STATUS CheckedStatus = (StatusValue);                                                      \
    if (EFI_ERROR(CheckedStatus)) {                                                                \
      ReportFailedStatusCheck(DebugOutputEnabled(), CheckedStatus, __FILE__, __LINE__);            \
    }                                                                                              \
  } while (false)
