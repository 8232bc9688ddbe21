// Where the ACPI power-management timer is, found through the tables the firmware publishes.
#pragma once

#include "UefiDefinitions/UefiSystemTable.h"

enum class PmTimerSearch : UINT8 { NoAcpiTables, NoFadt, NoPmTimer, Found };

struct PmTimerPlace {
  PmTimerSearch Result;
  UINT16 Port;
  BOOLEAN Counts32Bits; // else 24 bits
};

// Reads the ACPI 2.0 root pointer among Count configuration tables, its XSDT and the "FACP" table
// there. The timer's place is X_PM_TMR_BLK when it is an I/O port, else
// PM_TMR_BLK.
PmTimerPlace FindPmTimer(const EFI_CONFIGURATION_TABLE* Tables, UINT64 Count);
