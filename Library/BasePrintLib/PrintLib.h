// A bounded printf-style formatter into buffers of 1-byte characters.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// A cursor over a variadic call's arguments in the firmware calling convention: consecutive
// 8-byte slots, one per argument. It is a plain byte pointer in both builds, so a test can also
// point it at an array of slots.
typedef __builtin_ms_va_list ARGUMENT_CURSOR;

// Formats into Buffer (BufferSize bytes), always ending the text with a zero byte when BufferSize
// is not 0 and cutting silently at BufferSize - 1 characters. Returns the characters written.
UINT64 FormatTextList(CHAR8* Buffer, UINT64 BufferSize, const CHAR8* Format,
                      ARGUMENT_CURSOR ArgumentList);
UINT64 EFIAPI FormatText(CHAR8* Buffer, UINT64 BufferSize, const CHAR8* Format, ...);
