// Local APIC register access in xAPIC (memory-mapped) or x2APIC (MSR) mode. Registers are named
// by their byte offset in the xAPIC page; the mode and base are read from the processor anew at
// every access.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

constexpr UINT64 LAPIC_MODE_XAPIC = 1;
constexpr UINT64 LAPIC_MODE_X2APIC = 2;

// Register offsets in the xAPIC page.
constexpr UINT64 XAPIC_EOI_OFFSET = 0xB0;
constexpr UINT64 XAPIC_DESTINATION_FORMAT_OFFSET = 0xE0; // no x2APIC counterpart
constexpr UINT64 XAPIC_SPURIOUS_VECTOR_OFFSET = 0xF0;
constexpr UINT64 XAPIC_LVT_TIMER_OFFSET = 0x320;
constexpr UINT64 XAPIC_TIMER_INITIAL_COUNT_OFFSET = 0x380;
constexpr UINT64 XAPIC_TIMER_CURRENT_COUNT_OFFSET = 0x390;
constexpr UINT64 XAPIC_TIMER_DIVIDE_OFFSET = 0x3E0;

// The LVT timer register's fields.
constexpr UINT32 LVT_TIMER_VECTOR_BITS = 0xFF;
constexpr UINT32 LVT_TIMER_MASKED = 1u << 16;
constexpr UINT32 LVT_TIMER_MODE_SHIFT = 17;
constexpr UINT32 LVT_TIMER_MODE_BITS = 3u << LVT_TIMER_MODE_SHIFT;
constexpr UINT32 LVT_TIMER_MODE_ONE_SHOT = 0u << LVT_TIMER_MODE_SHIFT;
constexpr UINT32 LVT_TIMER_MODE_PERIODIC = 1u << LVT_TIMER_MODE_SHIFT;
constexpr UINT32 LVT_TIMER_MODE_TSC_DEADLINE = 2u << LVT_TIMER_MODE_SHIFT;

// Executes CPUID for Leaf and stores each wanted register (null means not wanted); returns Leaf.
UINT32 ReadCpuid(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx);
BOOLEAN ApicBaseMsrUsable();
UINT64 QueryApicBase();
UINT64 QueryApicMode();
UINT32 ApicRegisterRead(UINT64 MmioOffset);
VOID ApicRegisterWrite(UINT64 MmioOffset, UINT32 Value);
