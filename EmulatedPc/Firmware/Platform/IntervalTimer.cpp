#include "Platform/IntervalTimer.h"

#include "Platform/Cpu.h"

namespace IntervalTimer {
namespace {
constexpr uint16_t CHANNEL_0_DATA = 0x40;
constexpr uint16_t CHANNEL_2_DATA = 0x42;
constexpr uint16_t MODE_COMMAND = 0x43;
constexpr uint16_t PORT_B = 0x61; // system control port: channel 2 gate, speaker, OUT2 status
constexpr uint8_t PORT_B_GATE_2 = 1u << 0;
constexpr uint8_t PORT_B_SPEAKER = 1u << 1;
constexpr uint8_t PORT_B_OUT_2 = 1u << 5;
// Channel 2, low byte then high byte, mode 0 (OUT rises when the count runs out), binary.
constexpr uint8_t COMMAND_CHANNEL_2_ONE_SHOT = 0xB0;
// Channel 0, low byte then high byte, mode 2 (a pulse every Count cycles), binary.
constexpr uint8_t COMMAND_CHANNEL_0_RATE = 0x34;
} // namespace

uint64_t MeasureTscFrequency(uint16_t Count) {
  const uint8_t PortB = Cpu::InByte(PORT_B);
  Cpu::OutByte(PORT_B, static_cast<uint8_t>((PortB & ~PORT_B_SPEAKER) | PORT_B_GATE_2));
  Cpu::OutByte(MODE_COMMAND, COMMAND_CHANNEL_2_ONE_SHOT);
  Cpu::OutByte(CHANNEL_2_DATA, static_cast<uint8_t>(Count));
  const uint64_t Start = Cpu::ReadTsc();
  Cpu::OutByte(CHANNEL_2_DATA, static_cast<uint8_t>(Count >> 8)); // counting starts here
  while ((Cpu::InByte(PORT_B) & PORT_B_OUT_2) == 0) {
  }
  const uint64_t Elapsed = Cpu::ReadTsc() - Start;
  Cpu::OutByte(PORT_B, PortB);
  return Elapsed * INPUT_HZ / Count;
}

void StartPeriodic(uint16_t Count) {
  Cpu::OutByte(MODE_COMMAND, COMMAND_CHANNEL_0_RATE);
  Cpu::OutByte(CHANNEL_0_DATA, static_cast<uint8_t>(Count));
  Cpu::OutByte(CHANNEL_0_DATA, static_cast<uint8_t>(Count >> 8));
}

} // namespace IntervalTimer
