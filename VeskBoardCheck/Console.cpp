#include "VeskBoardCheck/Console.h"

#include "Library/BasePrintLib/PrintLib.h"

namespace {
// UCS-2 characters handed to the console in one call, and the zero after them.
constexpr UINT64 CONSOLE_CHUNK = 64;

constinit EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* mConsole = nullptr;
} // namespace

VOID BindConsole(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* Console) {
  mConsole = Console != nullptr && Console->OutputString != nullptr ? Console : nullptr;
}

// The text is ASCII, so each byte widens to one UCS-2 character; it goes out in chunks, so that a
// long text needs no long buffer.
VOID ConsoleWrite(const CHAR8* Text) {
  if (mConsole == nullptr) {
    return;
  }
  CHAR16 Chunk[CONSOLE_CHUNK + 1];
  while (*Text != 0) {
    UINT64 Count = 0;
    for (; Count < CONSOLE_CHUNK && Text[Count] != 0; ++Count) {
      Chunk[Count] = static_cast<UINT8>(Text[Count]);
    }
    Chunk[Count] = 0;
    mConsole->OutputString(mConsole, Chunk);
    Text += Count;
  }
}

VOID EFIAPI ConsolePrint(const CHAR8* Format, ...) {
  CHAR8 Text[CONSOLE_TEXT_LIMIT + 1];
  ARGUMENT_CURSOR Arguments;
  __builtin_ms_va_start(Arguments, Format);
  FormatTextList(Text, sizeof(Text), Format, Arguments);
  __builtin_ms_va_end(Arguments);
  ConsoleWrite(Text);
}
