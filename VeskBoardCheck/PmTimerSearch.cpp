#include "VeskBoardCheck/PmTimerSearch.h"

#include "UefiDefinitions/AcpiTables.h"

namespace {
constexpr UINT64 XSDT_ENTRY_SIZE = 8;
constexpr UINT64 RSDT_ENTRY_SIZE = 4;
// More entries than any root table holds, and more bytes than any FADT has: a length beyond these
// is a broken table, whose checksum is not even summed.
constexpr UINT64 LARGEST_ENTRY_COUNT = 1024;
constexpr UINT64 LARGEST_FADT_BYTES = 4096;
constexpr UINT64 LARGEST_IO_PORT = 0xFFFF;

bool SameGuid(const EFI_GUID& Left, const EFI_GUID& Right) {
  const UINT8* LeftBytes = reinterpret_cast<const UINT8*>(&Left);
  const UINT8* RightBytes = reinterpret_cast<const UINT8*>(&Right);
  for (UINT64 Index = 0; Index < sizeof(EFI_GUID); ++Index) {
    if (LeftBytes[Index] != RightBytes[Index]) {
      return false;
    }
  }
  return true;
}

template <typename T> const T* At(UINT64 Address) {
  return reinterpret_cast<const T*>(static_cast<UINTN>(Address));
}

// The bytes of a table sum to 0 (mod 256) when its checksum is right.
bool SumsToZero(const VOID* Table, UINT64 Bytes) {
  UINT8 Sum = 0;
  for (UINT64 Index = 0; Index < Bytes; ++Index) {
    Sum = static_cast<UINT8>(Sum + static_cast<const UINT8*>(Table)[Index]);
  }
  return Sum == 0;
}

// A table of this signature, at least a header and at most Largest bytes long.
bool IsTable(const ACPI_DESCRIPTION_HEADER* Table, UINT32 Signature, UINT64 Largest) {
  return Table != nullptr && Table->Signature == Signature &&
         Table->Length >= sizeof(ACPI_DESCRIPTION_HEADER) && Table->Length <= Largest;
}

const ACPI_ROOT_POINTER* FindRoot(const EFI_CONFIGURATION_TABLE* Tables, UINT64 Count) {
  static constexpr const EFI_GUID* GUIDS[] = {&gEfiAcpi20TableGuid, &gEfiAcpi10TableGuid};
  for (const EFI_GUID* Guid : GUIDS) {
    for (UINT64 Index = 0; Tables != nullptr && Index < Count; ++Index) {
      if (SameGuid(Tables[Index].VendorGuid, *Guid)) {
        return static_cast<const ACPI_ROOT_POINTER*>(Tables[Index].VendorTable);
      }
    }
  }
  return nullptr;
}
} // namespace

PmTimerPlace FindPmTimer(const EFI_CONFIGURATION_TABLE* Tables, UINT64 Count) {
  const ACPI_ROOT_POINTER* Root = FindRoot(Tables, Count);
  if (Root == nullptr || Root->Signature != ACPI_RSDP_SIGNATURE) {
    return {PmTimerSearch::NoAcpiTables, nullptr, 0, FALSE};
  }
  const bool Extended = Root->Revision >= ACPI_RSDP_REVISION_WITH_XSDT;
  if (!SumsToZero(Root, ACPI_RSDP_V1_BYTES) ||
      (Extended && !SumsToZero(Root, sizeof(ACPI_ROOT_POINTER)))) {
    return {PmTimerSearch::BadChecksum, "RSDP", 0, FALSE};
  }
  const bool UseXsdt = Extended && Root->XsdtAddress != 0;
  const ACPI_DESCRIPTION_HEADER* RootTable =
      At<ACPI_DESCRIPTION_HEADER>(UseXsdt ? Root->XsdtAddress : Root->RsdtAddress);
  const UINT64 EntrySize = UseXsdt ? XSDT_ENTRY_SIZE : RSDT_ENTRY_SIZE;
  if (!IsTable(RootTable, UseXsdt ? ACPI_XSDT_SIGNATURE : ACPI_RSDT_SIGNATURE,
               sizeof(ACPI_DESCRIPTION_HEADER) + LARGEST_ENTRY_COUNT * EntrySize)) {
    return {PmTimerSearch::NoFadt, nullptr, 0, FALSE};
  }
  if (!SumsToZero(RootTable, RootTable->Length)) {
    return {PmTimerSearch::BadChecksum, UseXsdt ? "XSDT" : "RSDT", 0, FALSE};
  }
  const UINT64 Entries = (RootTable->Length - sizeof(ACPI_DESCRIPTION_HEADER)) / EntrySize;
  const UINT8* First = reinterpret_cast<const UINT8*>(RootTable + 1);
  const ACPI_FADT_TIMER_FIELDS* Fadt = nullptr;
  for (UINT64 Index = 0; Fadt == nullptr && Index < Entries; ++Index) {
    // The entries may lie on 4-byte boundaries only: each is put together byte-wise.
    UINT64 Address = 0;
    for (UINT64 Byte = EntrySize; Byte-- > 0;) {
      Address = Address << 8 | First[Index * EntrySize + Byte];
    }
    const ACPI_DESCRIPTION_HEADER* Entry = At<ACPI_DESCRIPTION_HEADER>(Address);
    if (IsTable(Entry, ACPI_FADT_SIGNATURE, LARGEST_FADT_BYTES)) {
      Fadt = reinterpret_cast<const ACPI_FADT_TIMER_FIELDS*>(Entry);
    }
  }
  if (Fadt == nullptr) {
    return {PmTimerSearch::NoFadt, nullptr, 0, FALSE};
  }
  const UINT64 Length = Fadt->Header.Length;
  if (!SumsToZero(Fadt, Length)) {
    return {PmTimerSearch::BadChecksum, "FADT", 0, FALSE};
  }

  // A field lies in the table only when its length reaches past the field's end.
  const UINT32 Flags =
      Length >= offsetof(ACPI_FADT_TIMER_FIELDS, Flags) + sizeof(UINT32) ? Fadt->Flags : 0;
  if ((Flags & ACPI_FADT_HW_REDUCED_ACPI) != 0) {
    return {PmTimerSearch::HardwareReduced, nullptr, 0, FALSE};
  }
  const BOOLEAN Wide = (Flags & ACPI_FADT_TMR_VAL_EXT) != 0;
  // X_PM_TMR_BLK, when given, is the timer's place, and PM_TMR_BLK is then not consulted.
  if (Length >= sizeof(ACPI_FADT_TIMER_FIELDS) && Fadt->XPmTimerBlock.Address != 0) {
    const ACPI_GENERIC_ADDRESS& Extended = Fadt->XPmTimerBlock;
    if (Extended.AddressSpaceId == ACPI_ADDRESS_SPACE_SYSTEM_MEMORY) {
      return {PmTimerSearch::InMemory, nullptr, Extended.Address, Wide};
    }
    if (Extended.AddressSpaceId == ACPI_ADDRESS_SPACE_SYSTEM_IO &&
        Extended.Address <= LARGEST_IO_PORT) {
      return {PmTimerSearch::Found, nullptr, Extended.Address, Wide};
    }
    return {PmTimerSearch::NoPmTimer, nullptr, 0, FALSE};
  }
  if (Length >= offsetof(ACPI_FADT_TIMER_FIELDS, PmTimerBlock) + sizeof(UINT32) &&
      Fadt->PmTimerBlock != 0 && Fadt->PmTimerBlock <= LARGEST_IO_PORT) {
    return {PmTimerSearch::Found, nullptr, Fadt->PmTimerBlock, Wide};
  }
  return {PmTimerSearch::NoPmTimer, nullptr, 0, FALSE};
}
