#include "Core/EarlyDeadline.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/LocalApic.h"
#include "Services/Tpl.h"

namespace EarlyDeadline {
namespace {

// A deadline closer than this may already be with the APIC: it is left to fire on time.
constexpr uint64_t MIN_LEAD_TSC = 2000;
constexpr uint32_t ICR_DESTINATION_SELF = 1u << 18; // fixed delivery to this processor

unsigned Fired = 0;
uint64_t Lead = 0;
uint8_t Vector = 0;

void Turn() {
  const uint32_t Lvt = LocalApic::Read(LocalApic::REG_LVT_TIMER);
  const uint64_t Deadline = Cpu::ReadMsr(LocalApic::MSR_TSC_DEADLINE);
  const uint64_t Now = Cpu::ReadTsc();
  if (Fired != 0 ||
      (Lvt & (LocalApic::LVT_MASKED | LocalApic::LVT_TIMER_MODE_MASK)) !=
          LocalApic::LVT_TIMER_MODE_TSC_DEADLINE ||
      Deadline < Now + MIN_LEAD_TSC) {
    return;
  }
  Cpu::WriteMsr(LocalApic::MSR_TSC_DEADLINE, 0);
  Vector = static_cast<uint8_t>(Lvt & LocalApic::LVT_VECTOR_MASK);
  LocalApic::Write(LocalApic::REG_ICR_LOW, ICR_DESTINATION_SELF | Vector);
  Lead = Deadline - Now;
  ++Fired;
}

} // namespace

// A TSC-deadline processor only: the deadline register is read at every restore.
void Start() {
  Tpl::OnRestore(&Turn);
}

void Stop() {
  Tpl::OnRestore(nullptr);
  Console::Fact("early-deadlines-fired", Fired);
  Console::FactHex("early-deadline-vector", Vector);
  Console::Fact("early-deadline-lead-tsc", Lead);
}

} // namespace EarlyDeadline
