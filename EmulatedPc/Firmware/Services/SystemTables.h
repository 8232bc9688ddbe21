// The system table and boot services table this firmware hands to the driver.
#pragma once

#include "Uefi/SystemTable.h"

namespace SystemTables {

// Fills both tables; the boot services a timer driver needs are real, every other slot records
// its call as unexpected and answers EFI_UNSUPPORTED.
Uefi::SystemTable* Build();

uint64_t UnexpectedCalls();

} // namespace SystemTables
