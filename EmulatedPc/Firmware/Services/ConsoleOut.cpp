#include "Services/ConsoleOut.h"

#include "Platform/Console.h"

namespace ConsoleOut {
namespace {

constexpr char16_t FIRST_UNPRINTABLE = 0x7F; // beyond ASCII, the serial log gets a '?'
constexpr int32_t ONE_MODE = 1;
constexpr int32_t LIGHT_GRAY_ON_BLACK = 0x07;

uint64_t UnexpectedCount = 0;

// A firmware line that comes between two characters of the application's ends its line; the
// rest of it is marked again.
FIRMWARE_API Uefi::Status OutputString(Uefi::SimpleTextOutputProtocol*, const char16_t* String) {
  if (String == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  for (; *String != u'\0'; ++String) {
    if (Console::AtLineStart()) {
      Console::Write(LINE_PREFIX);
    }
    Console::Put(*String < FIRST_UNPRINTABLE ? static_cast<char>(*String) : '?');
  }
  return Uefi::SUCCESS;
}

template <unsigned Slot> FIRMWARE_API Uefi::Status UnexpectedService() {
  ++UnexpectedCount;
  Console::Fact("unexpected-console-service-slot", Slot);
  return Uefi::UNSUPPORTED;
}

Uefi::SimpleTextOutputMode Mode = {ONE_MODE, 0, LIGHT_GRAY_ON_BLACK, 0, 0, 0};

// Slot 0 is Reset, 1 OutputString, 2..8 TestString to EnableCursor.
Uefi::SimpleTextOutputProtocol Protocol = {
    reinterpret_cast<void*>(&UnexpectedService<0>),
    &OutputString,
    {reinterpret_cast<void*>(&UnexpectedService<2>), reinterpret_cast<void*>(&UnexpectedService<3>),
     reinterpret_cast<void*>(&UnexpectedService<4>), reinterpret_cast<void*>(&UnexpectedService<5>),
     reinterpret_cast<void*>(&UnexpectedService<6>), reinterpret_cast<void*>(&UnexpectedService<7>),
     reinterpret_cast<void*>(&UnexpectedService<8>)},
    &Mode};

} // namespace

Uefi::SimpleTextOutputProtocol* Instance() {
  return &Protocol;
}

uint64_t UnexpectedCalls() {
  return UnexpectedCount;
}

} // namespace ConsoleOut
