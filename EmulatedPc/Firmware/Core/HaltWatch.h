// The driver's stop after a failed assertion, watched from outside. The firmware offers a timer
// protocol of its own before the driver is loaded, so that the driver's entry finds one, reports
// its assertion and halts. The 8254 then interrupts the processor through the 8259, a clock the
// driver knows nothing of, and the firmware samples where each interrupt found it: a halted
// driver is found every time in the same small loop of its image.
#pragma once

#include <stdint.h>

namespace HaltWatch {

// A timer protocol that never ticks, installed before the driver is loaded.
void InstallRivalTimer();

// Just before the entry is called: the samples start, and end the run with their verdict.
void Start(uint64_t ImageBase, uint64_t ImageSize);

// The entry came back after its assertion: its halt did not hold.
[[noreturn]] void EntryReturned(uint64_t Status);

} // namespace HaltWatch
