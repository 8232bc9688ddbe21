// What every message and report shares: one line built on the stack, then written at once.
#pragma once

#include "Library/BaseLib/BaseLib.h"
#include "Library/SerialDebugLib/SerialDebugLib.h"

// At most 255 characters and the terminating zero.
constexpr UINT64 MESSAGE_BUFFER_SIZE = 256;

// Writes the text up to its first zero byte; a zero the formatter wrote inside the text ends it.
inline VOID WriteMessage(const CHAR8* Text) {
  WriteDebugSerial(reinterpret_cast<const UINT8*>(Text), AsciiTextLength(Text));
}
