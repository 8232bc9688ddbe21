// The power-management function of the PC's PIIX4 south bridge (PCI bus 0, device 1, function 3
// on this machine): its I/O block, which holds the ACPI timer, is closed after reset until the
// firmware gives it a base and opens it.
#pragma once

#include <stdint.h>

namespace PowerManagement {

// Opens the block; returns the timer's port, or 0 when the function is not there.
uint16_t EnableTimer();

} // namespace PowerManagement
