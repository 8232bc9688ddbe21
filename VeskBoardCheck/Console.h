// The board check's output: formatted lines on the firmware's console (ConOut), never on a serial
// port of its own, which the board may not have.
#pragma once

#include "UefiDefinitions/SimpleTextOutput.h"

// Where the text goes from now on; null (or a console without OutputString) writes nothing.
VOID BindConsole(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* Console);
// Formats like FormatText (a line feed becomes carriage return and line feed) and writes the text
// as UCS-2. One call writes at most CONSOLE_TEXT_LIMIT characters.
VOID EFIAPI ConsolePrint(const CHAR8* Format, ...);
// Writes Text, which may be longer than the formatter's limit, up to its zero.
VOID ConsoleWrite(const CHAR8* Text);

constexpr UINT64 CONSOLE_TEXT_LIMIT = 255;
