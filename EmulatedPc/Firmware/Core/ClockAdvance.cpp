#include "Core/ClockAdvance.h"

#include "Platform/Cpu.h"
#include "Platform/LocalApic.h"
#include "Services/Interrupts.h"

namespace ClockAdvance {
namespace {

// A vector of the firmware's own, away from the 8259's and the driver's.
constexpr uint8_t WAKE_VECTOR = 0x30;

FIRMWARE_API void Wake(int64_t, void*) {
  LocalApic::Write(LocalApic::REG_EOI, 0);
}

} // namespace

void SleepUntil(uint64_t Tsc) {
  const uint32_t Spurious = LocalApic::Read(LocalApic::REG_SPURIOUS);
  const uint32_t LvtTimer = LocalApic::Read(LocalApic::REG_LVT_TIMER);
  Interrupts::RegisterHandler(WAKE_VECTOR, &Wake);
  LocalApic::Write(LocalApic::REG_SPURIOUS, Spurious | LocalApic::SPURIOUS_APIC_ENABLE);
  LocalApic::Write(LocalApic::REG_LVT_TIMER, LocalApic::LVT_TIMER_MODE_TSC_DEADLINE | WAKE_VECTOR);
  Cpu::WriteMsr(LocalApic::MSR_TSC_DEADLINE, Tsc);
  while (Cpu::ReadTsc() < Tsc) {
    Cpu::SleepUntilInterrupt();
  }
  Cpu::WriteMsr(LocalApic::MSR_TSC_DEADLINE, 0);
  LocalApic::Write(LocalApic::REG_LVT_TIMER, LvtTimer);
  LocalApic::Write(LocalApic::REG_SPURIOUS, Spurious);
  Interrupts::RegisterHandler(WAKE_VECTOR, nullptr);
}

} // namespace ClockAdvance
