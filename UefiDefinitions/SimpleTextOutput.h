// The Simple Text Output protocol behind the system table's ConOut: the console a person reads.
// Text is UCS-2, zero-ended; a line ends with carriage return and line feed.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, CHAR16* String);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID* Reset;
  EFI_TEXT_STRING OutputString;
  VOID* TestString;
  VOID* QueryMode;
  VOID* SetMode;
  VOID* SetAttribute;
  VOID* ClearScreen;
  VOID* SetCursorPosition;
  VOID* EnableCursor;
  VOID* Mode;
};
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 8, "OutputString slot");
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == 80, "nine services and the mode");
