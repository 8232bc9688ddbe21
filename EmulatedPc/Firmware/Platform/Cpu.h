// Processor instructions the firmware uses, as inline wrappers.
#pragma once

#include <stdint.h>

namespace Cpu {

struct CpuidResult {
  uint32_t Eax;
  uint32_t Ebx;
  uint32_t Ecx;
  uint32_t Edx;
};

inline CpuidResult Cpuid(uint32_t Leaf, uint32_t SubLeaf = 0) {
  CpuidResult R;
  asm volatile("cpuid"
               : "=a"(R.Eax), "=b"(R.Ebx), "=c"(R.Ecx), "=d"(R.Edx)
               : "a"(Leaf), "c"(SubLeaf));
  return R;
}

inline uint64_t ReadMsr(uint32_t Index) {
  uint32_t Low;
  uint32_t High;
  asm volatile("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return (static_cast<uint64_t>(High) << 32) | Low;
}

inline void WriteMsr(uint32_t Index, uint64_t Value) {
  asm volatile("wrmsr" ::"c"(Index), "a"(static_cast<uint32_t>(Value)),
               "d"(static_cast<uint32_t>(Value >> 32))
               : "memory");
}

inline uint64_t ReadTsc() {
  uint32_t Low;
  uint32_t High;
  asm volatile("rdtsc" : "=a"(Low), "=d"(High)::"memory");
  return (static_cast<uint64_t>(High) << 32) | Low;
}

inline void DisableInterrupts() {
  asm volatile("cli" ::: "memory");
}
inline void EnableInterrupts() {
  asm volatile("sti" ::: "memory");
}

constexpr uint64_t RFLAGS_IF = 1u << 9;

inline bool InterruptsEnabled() {
  uint64_t Flags;
  asm volatile("pushfq; popq %0" : "=r"(Flags));
  return (Flags & RFLAGS_IF) != 0;
}

// Interrupts are let in only while the processor halts: the one that wakes it is taken at once.
inline void SleepUntilInterrupt() {
  asm volatile("sti; hlt; cli" ::: "memory");
}

// Halts until an interrupt, with interrupts let in as they are: the caller has them on.
inline void WaitForInterrupt() {
  asm volatile("hlt" ::: "memory");
}

inline void Pause() {
  asm volatile("pause");
}

[[noreturn]] inline void HaltForever() {
  for (;;) {
    asm volatile("cli; hlt");
  }
}

inline uint8_t InByte(uint16_t Port) {
  uint8_t Value;
  asm volatile("inb %1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

inline void OutByte(uint16_t Port, uint8_t Value) {
  asm volatile("outb %0, %1" ::"a"(Value), "Nd"(Port));
}

constexpr uint32_t CPUID_MAX_LEAF = 0;
constexpr uint32_t CPUID_THERMAL_POWER = 6;  // EAX bit 2: the APIC timer runs in deep C-states
constexpr uint32_t CPUID_TSC_CRYSTAL = 0x15; // the TSC's ratio to its crystal, and the crystal
constexpr uint32_t CPUID_FREQUENCY = 0x16;   // base, maximum and bus frequency in MHz
constexpr uint32_t CPUID_ADVANCED_POWER = 0x80000007; // EDX bit 8: invariant TSC
// The microcode revision, in the upper half after a write of 0 and a CPUID leaf 1.
constexpr uint32_t MSR_BIOS_SIGN_ID = 0x8B;

// CPUID leaf 1 feature bits this firmware looks at.
constexpr uint32_t CPUID_FEATURES = 1;
constexpr uint32_t CPUID1_ECX_X2APIC = 1u << 21;
constexpr uint32_t CPUID1_ECX_TSC_DEADLINE = 1u << 24;
constexpr uint32_t CPUID1_EDX_APIC = 1u << 9;

} // namespace Cpu
