// The two 8259 interrupt controllers of the PC: initialized and fully masked, so that only the
// local APIC delivers interrupts, until the firmware opens a line for a clock of its own.
#pragma once

#include <stdint.h>

namespace LegacyPic {

// Line N of the first controller raises vector FIRST_VECTOR + N: above the processor's exceptions
// and away from the timer vector.
constexpr uint8_t FIRST_VECTOR = 0x20;
constexpr uint8_t INTERVAL_TIMER_LINE = 0;

void MaskAll();
void Unmask(uint8_t Line);
void EndOfInterrupt();

} // namespace LegacyPic
