// The firmware's own use of the local APIC: bring-up before the driver runs, and the few
// registers it reads afterwards to see what the driver left behind.
#pragma once

#include <stdint.h>

namespace LocalApic {

constexpr uint32_t MSR_APIC_BASE = 0x1B;
constexpr uint64_t APIC_BASE_BSP = 1u << 8;
constexpr uint64_t APIC_BASE_EXTD = 1u << 10; // x2APIC mode
constexpr uint64_t APIC_BASE_EN = 1u << 11;   // globally enabled
constexpr uint64_t APIC_BASE_ADDRESS_MASK = ~0xFFFull;
constexpr uint32_t MSR_TSC_DEADLINE = 0x6E0;
constexpr uint32_t X2APIC_MSR_BASE = 0x800;

// Register offsets in the xAPIC page.
constexpr uint32_t REG_EOI = 0xB0;
constexpr uint32_t REG_SPURIOUS = 0xF0;
constexpr uint32_t REG_ISR_BASE = 0x100; // in service
constexpr uint32_t REG_IRR_BASE = 0x200; // requested
constexpr uint32_t REG_ICR_LOW = 0x300;  // interrupt command: the vector, delivery, destination
constexpr uint32_t REG_LVT_TIMER = 0x320;
constexpr uint32_t REG_TIMER_INITIAL_COUNT = 0x380;
constexpr uint32_t REG_TIMER_CURRENT_COUNT = 0x390;
constexpr uint32_t REG_TIMER_DIVIDE = 0x3E0;
constexpr uint32_t TIMER_DIVIDE_BY_16 = 0x3;
constexpr uint32_t SPURIOUS_APIC_ENABLE = 1u << 8;
constexpr uint32_t LVT_MASKED = 1u << 16;
constexpr uint32_t LVT_VECTOR_MASK = 0xFF;
constexpr uint32_t LVT_TIMER_MODE_MASK = 3u << 17;
constexpr uint32_t LVT_TIMER_MODE_ONE_SHOT = 0u << 17;
constexpr uint32_t LVT_TIMER_MODE_PERIODIC = 1u << 17;
constexpr uint32_t LVT_TIMER_MODE_TSC_DEADLINE = 2u << 17;

constexpr uint8_t SPURIOUS_VECTOR = 0xFF;

bool X2ApicMode();
uint64_t Base();
uint32_t Read(uint32_t Offset);
void Write(uint32_t Offset, uint32_t Value);

// Globally enables the APIC (it comes out of reset in xAPIC mode at its reset base) and sets the
// spurious vector with the APIC still software-disabled (the driver enables it).
void Reset();
// Moves an enabled xAPIC to x2APIC mode, the only transition the hardware allows from there.
void SwitchToX2Apic();

// Whether the LVT timer is in one-shot mode (else periodic or TSC-deadline).
bool TimerInOneShotMode();
// The TSC value at which the timer raises its interrupt as it is armed now, 0 when it is not: the
// deadline MSR in TSC-deadline mode; in one-shot mode the TSC plus the current count at the divide
// setting, since bochs counts the timer at divide-by-1 at the TSC's own rate. The count is read
// before the TSC, so the value lies a few TSC ticks beyond the true one, never before it.
uint64_t ArmedTsc();

bool InService(uint8_t Vector);
// Accepted by the APIC and waiting for the processor.
bool Requested(uint8_t Vector);

} // namespace LocalApic
