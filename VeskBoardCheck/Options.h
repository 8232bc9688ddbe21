// The board check's options, from the text its loader started it with: a shell's whole command line
// (the program's name first), only the options, or nothing.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

struct BoardCheckOptions {
  BOOLEAN Exercise;
  UINT64 Token; // the configuration database's token of the TSC frequency
  UINT64 Port;  // the first I/O port of the debug UART
};

// Token 0 is no token; a token the platform does not define may make a debug firmware's database
// assert, so the check asks only for the one it is given.
constexpr UINT64 SMALLEST_TOKEN = 1;
constexpr UINT64 LARGEST_TOKEN = 0xFFFFFFFF;
// The UART's scratch register, its base + 7, is the highest port it has.
constexpr UINT64 LARGEST_UART_PORT = 0xFFF8;

enum class OptionProblem : UINT8 { None, UnknownOption, MissingNumber, MalformedNumber };

// What is wrong: the option it is about ("--port"; null for an unknown one), and the word that is
// wrong (the unknown option, or the malformed number; none for a missing number).
struct OptionFault {
  OptionProblem Problem;
  const CHAR8* Option;
  const CHAR16* Word;
  UINT64 WordLength;
};

// Reads at most Size bytes of UCS-2 Text (which may be null), up to a zero character. Options holds
// the defaults on entry and the options given on return; on a fault it may be changed in part.
// Numbers are decimal without leading zeros, or hexadecimal after 0x; a token is from
// SMALLEST_TOKEN to LARGEST_TOKEN, a port at most LARGEST_UART_PORT.
OptionFault ParseOptions(const CHAR16* Text, UINT64 Size, BoardCheckOptions* Options);

// ParseOptions, and on a fault the complaint and the usage on the console. The application takes
// its options here, and so does the host's check of an option line (Tools/BoardCheckOptions.cpp),
// so that a tool refuses exactly what the application would, in the application's words.
BOOLEAN TakeOptions(const CHAR16* Text, UINT64 Size, BoardCheckOptions* Options);
