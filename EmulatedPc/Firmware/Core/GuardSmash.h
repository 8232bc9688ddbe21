// A buffer overflow in the driver's entry, staged by the firmware: while the entry waits in a
// service it called, the firmware overwrites the copy of the stack guard in the entry's frame, as
// a write past the end of one of its locals would. The entry must find out before it returns,
// report the stack fault and halt.
#pragma once

#include <stdint.h>

namespace GuardSmash {

// Makes the next call of the CPU Architectural Protocol's RegisterInterruptHandler, which the
// entry calls itself, overwrite its caller's guard copy.
void Arm();

// Called by that service with its own frame address (frame pointer: saved RBP, then the return
// address into the caller, whose frame lies above).
void OnService(const void* ServiceFrame);

} // namespace GuardSmash
