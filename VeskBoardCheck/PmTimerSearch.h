// Where the ACPI power-management timer is, found through the tables the firmware publishes.
#pragma once

#include "UefiDefinitions/UefiSystemTable.h"

enum class PmTimerSearch : UINT8 {
  NoAcpiTables,
  BadChecksum, // a table on the way does not sum to 0: Table names it, and nothing past it is read
  NoFadt,
  HardwareReduced, // the FADT says so: such a platform has no PM timer
  InMemory,        // X_PM_TMR_BLK lies in memory space, at Address: not read
  NoPmTimer,
  Found, // at the I/O port Address
};

struct PmTimerPlace {
  PmTimerSearch Result;
  const CHAR8* Table; // "RSDP" (the root pointer), "XSDT", "RSDT" or "FADT", for BadChecksum
  UINT64 Address;
  BOOLEAN Counts32Bits; // else 24 bits
};

// Reads the root pointer among Count configuration tables (the ACPI 2.0 entry, else the 1.0 one),
// checking its checksums (its first 20 bytes, and all 36 from revision 2 on), then its XSDT, or
// its RSDT when it is of revision 0 or the XSDT's address is 0, and the "FACP" table there, each
// checked against its checksum before a field of it is read. The timer's place is X_PM_TMR_BLK
// when it is given, else PM_TMR_BLK; its width is 32 bits only when the FADT's TMR_VAL_EXT says so.
PmTimerPlace FindPmTimer(const EFI_CONFIGURATION_TABLE* Tables, UINT64 Count);
