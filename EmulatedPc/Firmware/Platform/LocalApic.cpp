#include "Platform/LocalApic.h"

#include "Platform/Cpu.h"

namespace LocalApic {
namespace {
constexpr unsigned X2APIC_OFFSET_SHIFT = 4;
constexpr unsigned VECTORS_PER_WORD = 32;
constexpr uint32_t VECTOR_WORD_STRIDE = 0x10;

// The bit of a vector in the ISR or IRR: eight 32-bit words, one every 16 bytes.
bool VectorBit(uint32_t Base, uint8_t Vector) {
  const uint32_t Word = Read(Base + (Vector / VECTORS_PER_WORD) * VECTOR_WORD_STRIDE);
  return (Word >> (Vector % VECTORS_PER_WORD) & 1u) != 0;
}
} // namespace

bool X2ApicMode() {
  return (Cpu::ReadMsr(MSR_APIC_BASE) & APIC_BASE_EXTD) != 0;
}

uint64_t Base() {
  return Cpu::ReadMsr(MSR_APIC_BASE) & APIC_BASE_ADDRESS_MASK;
}

uint32_t Read(uint32_t Offset) {
  if (X2ApicMode()) {
    return static_cast<uint32_t>(Cpu::ReadMsr(X2APIC_MSR_BASE + (Offset >> X2APIC_OFFSET_SHIFT)));
  }
  return *reinterpret_cast<volatile uint32_t*>(Base() + Offset);
}

void Write(uint32_t Offset, uint32_t Value) {
  if (X2ApicMode()) {
    Cpu::WriteMsr(X2APIC_MSR_BASE + (Offset >> X2APIC_OFFSET_SHIFT), Value);
    return;
  }
  *reinterpret_cast<volatile uint32_t*>(Base() + Offset) = Value;
}

void Reset() {
  const uint64_t ApicBase = Cpu::ReadMsr(MSR_APIC_BASE);
  Cpu::WriteMsr(MSR_APIC_BASE, ApicBase | APIC_BASE_EN);
  const uint32_t Spurious = Read(REG_SPURIOUS);
  Write(REG_SPURIOUS, (Spurious & ~LVT_VECTOR_MASK & ~SPURIOUS_APIC_ENABLE) | SPURIOUS_VECTOR);
}

void SwitchToX2Apic() {
  Cpu::WriteMsr(MSR_APIC_BASE, Cpu::ReadMsr(MSR_APIC_BASE) | APIC_BASE_EN | APIC_BASE_EXTD);
}

bool TimerInOneShotMode() {
  return (Read(REG_LVT_TIMER) & LVT_TIMER_MODE_MASK) == LVT_TIMER_MODE_ONE_SHOT;
}

uint64_t ArmedTsc() {
  if (!TimerInOneShotMode()) {
    return Cpu::ReadMsr(MSR_TSC_DEADLINE);
  }
  const uint64_t Count = Read(REG_TIMER_CURRENT_COUNT);
  if (Count == 0) {
    return 0;
  }
  // Divide configuration bits 0, 1 and 3: 2 << (their value); 111b divides by 1.
  const uint32_t Divide = Read(REG_TIMER_DIVIDE);
  const uint32_t Code = (Divide & 3) | (Divide >> 1 & 4);
  return Cpu::ReadTsc() + Count * (Code == 7 ? 1 : 2ull << Code);
}

bool InService(uint8_t Vector) {
  return VectorBit(REG_ISR_BASE, Vector);
}

bool Requested(uint8_t Vector) {
  return VectorBit(REG_IRR_BASE, Vector);
}

} // namespace LocalApic
