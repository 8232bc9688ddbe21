// The ACPI tables of this machine, as much of them as a program needs to find the power-management
// timer: a root pointer, an XSDT with one entry, and a FADT naming the timer's port.
#pragma once

#include <stdint.h>

namespace AcpiTables {

// Opens the PIIX4's power-management block and fills the tables for its timer; returns the root
// pointer, or null when the machine has no such block.
void* Build(bool BadFadtChecksum);

} // namespace AcpiTables
