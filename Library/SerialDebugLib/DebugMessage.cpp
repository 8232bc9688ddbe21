#include "Library/SerialDebugLib/SerialDebugLib.h"

#include "Library/BaseLib/BaseLib.h"
#include "Library/BasePrintLib/PrintLib.h"
#include "Library/SerialDebugLib/MessageBuffer.h"
#include "PlatformSettings.h"

// A production build can leave the messages out (VESK_DEBUG_MESSAGES=OFF); reports of failed
// checks do not ask.
BOOLEAN DebugOutputEnabled() {
  return DEBUG_MESSAGES_ENABLED;
}

VOID EFIAPI EmitDebugMessage(UINT32 ErrorLevel, const CHAR8* Format, ...) {
  // Every level is written: the platform wants all of it on the port.
  (void)ErrorLevel;
  CHAR8 Buffer[MESSAGE_BUFFER_SIZE];
  ARGUMENT_CURSOR Arguments;
  __builtin_ms_va_start(Arguments, Format);
  FormatTextList(Buffer, sizeof(Buffer), Format, Arguments);
  __builtin_ms_va_end(Arguments);
  WriteMessage(Buffer);
}
