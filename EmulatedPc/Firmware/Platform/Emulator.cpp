#include "Platform/Emulator.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"

namespace Emulator {
namespace {
constexpr uint16_t SHUTDOWN_PORT = 0x8900;
constexpr char SHUTDOWN_WORD[] = "Shutdown";
} // namespace

void Finish(const char* Result) {
  // The rate the driver left its port at: the serial log reads the same at any rate, a terminal
  // at the platform's rate does not.
  Console::Fact("uart-divisor", Console::Divisor());
  Console::FactText("result", Result);
  Console::Flush();
  for (const char* Character = SHUTDOWN_WORD; *Character != '\0'; ++Character) {
    Cpu::OutByte(SHUTDOWN_PORT, static_cast<uint8_t>(*Character));
  }
  Cpu::HaltForever();
}

} // namespace Emulator
