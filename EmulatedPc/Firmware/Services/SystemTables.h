// The system table and boot services table this firmware hands to the driver.
#pragma once

#include "Uefi/SystemTable.h"

namespace SystemTables {

// Fills both tables; the boot services the timer driver and the board check need are real, every
// other slot records its call as unexpected and answers EFI_UNSUPPORTED. The console is the serial
// port; the configuration table holds the ACPI root pointer, when there is one.
Uefi::SystemTable* Build(void* AcpiRootPointer);

uint64_t UnexpectedCalls();

} // namespace SystemTables
