#include "VeskBoardCheck/Options.h"

#include "PlatformSettings.h"
#include "VeskBoardCheck/Console.h"
#include "VeskBoardCheck/Decisions.h"

namespace {
constexpr UINT64 DECIMAL_BASE = 10;
constexpr UINT64 HEXADECIMAL_BASE = 16;
constexpr UINT64 NOT_A_DIGIT = HEXADECIMAL_BASE;

struct Word {
  const CHAR16* Start;
  UINT64 Length;
};

bool IsBlank(CHAR16 Character) {
  return Character == u' ' || Character == u'\t';
}

// The next word from Cursor on, before End; false when only blanks are left.
bool TakeWord(const CHAR16*& Cursor, const CHAR16* End, Word* Taken) {
  while (Cursor < End && IsBlank(*Cursor)) {
    ++Cursor;
  }
  Taken->Start = Cursor;
  while (Cursor < End && !IsBlank(*Cursor)) {
    ++Cursor;
  }
  Taken->Length = static_cast<UINT64>(Cursor - Taken->Start);
  return Taken->Length != 0;
}

bool Is(const Word& Taken, const CHAR8* Name) {
  UINT64 Index = 0;
  for (; Index < Taken.Length; ++Index) {
    if (Name[Index] == 0 || Taken.Start[Index] != static_cast<CHAR16>(Name[Index])) {
      return false;
    }
  }
  return Name[Index] == 0;
}

UINT64 DigitValue(CHAR16 Character) {
  if (Character >= u'0' && Character <= u'9') {
    return Character - u'0';
  }
  if (Character >= u'a' && Character <= u'f') {
    return Character - u'a' + 10;
  }
  if (Character >= u'A' && Character <= u'F') {
    return Character - u'A' + 10;
  }
  return NOT_A_DIGIT;
}

// A leading zero is refused in decimal: someone may mean it as octal. So is a number below
// Smallest.
bool ReadNumber(const Word& Taken, UINT64 Smallest, UINT64 Largest, UINT64* Value) {
  const CHAR16* Digit = Taken.Start;
  UINT64 Left = Taken.Length;
  UINT64 Base = DECIMAL_BASE;
  if (Left > 2 && Digit[0] == u'0' && (Digit[1] == u'x' || Digit[1] == u'X')) {
    Base = HEXADECIMAL_BASE;
    Digit += 2;
    Left -= 2;
  } else if (Left > 1 && Digit[0] == u'0') {
    return false;
  }
  UINT64 Number = 0;
  for (; Left > 0; ++Digit, --Left) {
    const UINT64 Next = DigitValue(*Digit);
    if (Next >= Base || Number > (Largest - Next) / Base) {
      return false;
    }
    Number = Number * Base + Next;
  }
  *Value = Number;
  return Number >= Smallest;
}

VOID PrintUsage(const OptionFault& Fault) {
  if (Fault.Problem == OptionProblem::UnknownOption) {
    ConsolePrint("board-check: unknown option '%.*s'\n", Fault.WordLength, Fault.Word);
  } else if (Fault.Problem == OptionProblem::MissingNumber) {
    ConsolePrint("board-check: %a needs a number\n", Fault.Option);
  } else {
    ConsolePrint("board-check: %a takes a number, not '%.*s'\n", Fault.Option, Fault.WordLength,
                 Fault.Word);
  }
  // Each print stays within the console's CONSOLE_TEXT_LIMIT.
  ConsolePrint("usage: VeskBoardCheck.efi [--exercise] [--token N] [--port P]\n"
               "  --exercise  time %u deadlines 1 ms apart, in the mode an auto build takes,\n"
               "              on a free vector from 0x%X\n",
               EXERCISE_DEADLINES, LAPIC_TIMER_VECTOR);
  ConsolePrint("  --token N   the TSC frequency's configuration token, one the platform defines,\n"
               "              %lu to 0x%lX (default %lu)\n"
               "  --port P    the debug UART's first port, 8-aligned, 0 to 0x%lX (default 0x%X)\n",
               SMALLEST_TOKEN, LARGEST_TOKEN, static_cast<UINT64>(PCD_TSC_FREQUENCY_TOKEN),
               LARGEST_UART_PORT, DEBUG_UART_BASE);
  ConsoleWrite("  N, P: decimal without leading zeros, or 0x and hexadecimal digits\r\n");
}
} // namespace

OptionFault ParseOptions(const CHAR16* Text, UINT64 Size, BoardCheckOptions* Options) {
  const CHAR16* Cursor = Text;
  const CHAR16* End = Text;
  if (Text != nullptr) {
    while (static_cast<UINT64>(End - Text) < Size / sizeof(CHAR16) && *End != 0) {
      ++End;
    }
  }

  Word Taken;
  bool First = true;
  while (TakeWord(Cursor, End, &Taken)) {
    // A shell puts the program's name first; a loader that passes only options does not.
    const bool ProgramName =
        First && !(Taken.Length >= 2 && Taken.Start[0] == u'-' && Taken.Start[1] == u'-');
    First = false;
    if (ProgramName) {
      continue;
    }
    if (Is(Taken, "--exercise")) {
      Options->Exercise = TRUE;
      continue;
    }
    const CHAR8* Option = nullptr;
    UINT64* Target = nullptr;
    UINT64 Largest = 0;
    UINT64 Smallest = 0;
    if (Is(Taken, "--token")) {
      Option = "--token";
      Target = &Options->Token;
      Smallest = SMALLEST_TOKEN;
      Largest = LARGEST_TOKEN;
    } else if (Is(Taken, "--port")) {
      Option = "--port";
      Target = &Options->Port;
      Largest = LARGEST_UART_PORT;
    } else {
      return {OptionProblem::UnknownOption, nullptr, Taken.Start, Taken.Length};
    }
    if (!TakeWord(Cursor, End, &Taken)) {
      return {OptionProblem::MissingNumber, Option, nullptr, 0};
    }
    if (!ReadNumber(Taken, Smallest, Largest, Target)) {
      return {OptionProblem::MalformedNumber, Option, Taken.Start, Taken.Length};
    }
  }
  return {OptionProblem::None, nullptr, nullptr, 0};
}

BOOLEAN TakeOptions(const CHAR16* Text, UINT64 Size, BoardCheckOptions* Options) {
  const OptionFault Fault = ParseOptions(Text, Size, Options);
  if (Fault.Problem == OptionProblem::None) {
    return TRUE;
  }
  PrintUsage(Fault);
  return FALSE;
}
