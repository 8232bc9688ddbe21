// The system table handed to a driver's or an application's entry point.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Uefi {

struct BootServices;

// "IBI SYST" read as a little-endian 64-bit number.
constexpr uint64_t SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ULL;

// One entry of the configuration table: a GUID names the table it points to.
struct ConfigurationTableEntry {
  Guid VendorGuid;
  void* VendorTable;
};
static_assert(sizeof(ConfigurationTableEntry) == 24, "configuration table entry size");

struct SystemTable {
  TableHeader Hdr;
  char16_t* FirmwareVendor;
  uint32_t FirmwareRevision;
  Handle ConsoleInHandle;
  void* ConIn;
  Handle ConsoleOutHandle;
  void* ConOut;
  Handle StandardErrorHandle;
  void* StdErr;
  void* RuntimeServices;
  BootServices* BootServicesTable;
  uint64_t NumberOfTableEntries;
  ConfigurationTableEntry* ConfigurationTable;
};
static_assert(offsetof(SystemTable, FirmwareRevision) == 32, "system table layout");
static_assert(offsetof(SystemTable, RuntimeServices) == 88, "system table layout");
static_assert(offsetof(SystemTable, BootServicesTable) == 96, "system table layout");
static_assert(sizeof(SystemTable) == 120, "system table size");

} // namespace Uefi
