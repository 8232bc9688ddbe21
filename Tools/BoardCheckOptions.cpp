// The board check's own option handling (VeskBoardCheck/Options.cpp) on the host, so that a tool
// can ask whether the application would take an option line before it boots anything with it. The
// line goes in as a loader hands it over, the application's complaint and usage come out on
// standard output.
//
//   BoardCheckOptions LINE    exits 0 when the application takes LINE, 1 when it refuses it
#include <cstdio>
#include <cstring>
#include <vector>

#include "VeskBoardCheck/Console.h"
#include "VeskBoardCheck/Options.h"

namespace {
constexpr int TAKEN = 0;
constexpr int REFUSED = 1;
constexpr int WRONG_CALL = 2;

// The console's lines end in carriage return and line feed; a terminal wants the line feed alone.
EFI_STATUS EFIAPI WriteToStandardOutput(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, CHAR16* Text) {
  for (; *Text != 0; ++Text) {
    if (*Text != u'\r') {
      std::putchar(static_cast<char>(*Text));
    }
  }
  return EFI_SUCCESS;
}
} // namespace

int main(int Count, char** Arguments) {
  if (Count != 2) {
    std::fputs("usage: BoardCheckOptions LINE\n", stderr);
    return WRONG_CALL;
  }
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Console = {};
  Console.OutputString = WriteToStandardOutput;
  BindConsole(&Console);
  // Each byte widens to one UCS-2 character, as a loader's ASCII line does.
  const auto* Bytes = reinterpret_cast<const unsigned char*>(Arguments[1]);
  const std::vector<CHAR16> Line(Bytes, Bytes + std::strlen(Arguments[1]));
  // Only whether the options are taken matters here, not the values they give.
  BoardCheckOptions Options = {};
  return TakeOptions(Line.data(), Line.size() * sizeof(CHAR16), &Options) ? TAKEN : REFUSED;
}
