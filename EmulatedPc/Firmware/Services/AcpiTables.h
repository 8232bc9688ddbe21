// The ACPI tables of this machine, as much of them as a program needs to find the power-management
// timer: a root pointer, an XSDT with one entry, and a FADT naming the timer's port.
#pragma once

#include <stdint.h>

namespace AcpiTables {

// Fills the tables for the timer at TimerPort; returns the root pointer.
void* Build(uint16_t TimerPort);

} // namespace AcpiTables
