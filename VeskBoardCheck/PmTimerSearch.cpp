#include "VeskBoardCheck/PmTimerSearch.h"

#include "UefiDefinitions/AcpiTables.h"

namespace {
constexpr UINT64 XSDT_ENTRY_SIZE = 8;
// More entries than any root table holds: a length beyond this is a broken table.
constexpr UINT64 LARGEST_ENTRY_COUNT = 1024;
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

const ACPI_FADT_TIMER_FIELDS* FindFadt(const ACPI_ROOT_POINTER* Root) {
  const ACPI_DESCRIPTION_HEADER* Xsdt = At<ACPI_DESCRIPTION_HEADER>(Root->XsdtAddress);
  if (Xsdt == nullptr || Xsdt->Signature != ACPI_XSDT_SIGNATURE ||
      Xsdt->Length < sizeof(ACPI_DESCRIPTION_HEADER)) {
    return nullptr;
  }
  const UINT64 Entries = (Xsdt->Length - sizeof(ACPI_DESCRIPTION_HEADER)) / XSDT_ENTRY_SIZE;
  if (Entries > LARGEST_ENTRY_COUNT) {
    return nullptr;
  }
  const UINT8* First = reinterpret_cast<const UINT8*>(Xsdt + 1);
  for (UINT64 Index = 0; Index < Entries; ++Index) {
    // The entries may lie on 4-byte boundaries only: each is copied out byte-wise.
    UINT64 Address = 0;
    __builtin_memcpy(&Address, First + Index * XSDT_ENTRY_SIZE, sizeof(Address));
    const ACPI_DESCRIPTION_HEADER* Entry = At<ACPI_DESCRIPTION_HEADER>(Address);
    if (Entry != nullptr && Entry->Signature == ACPI_FADT_SIGNATURE) {
      return reinterpret_cast<const ACPI_FADT_TIMER_FIELDS*>(Entry);
    }
  }
  return nullptr;
}
} // namespace

PmTimerPlace FindPmTimer(const EFI_CONFIGURATION_TABLE* Tables, UINT64 Count) {
  const ACPI_ROOT_POINTER* Root = nullptr;
  for (UINT64 Index = 0; Tables != nullptr && Root == nullptr && Index < Count; ++Index) {
    if (SameGuid(Tables[Index].VendorGuid, gEfiAcpi20TableGuid)) {
      Root = static_cast<const ACPI_ROOT_POINTER*>(Tables[Index].VendorTable);
    }
  }
  // Firmware that publishes the ACPI 2.0 entry gives a root pointer with an XSDT.
  if (Root == nullptr || Root->Signature != ACPI_RSDP_SIGNATURE ||
      Root->Revision < ACPI_RSDP_REVISION_WITH_XSDT) {
    return {PmTimerSearch::NoAcpiTables, 0, FALSE};
  }
  const ACPI_FADT_TIMER_FIELDS* Fadt = FindFadt(Root);
  if (Fadt == nullptr) {
    return {PmTimerSearch::NoFadt, 0, FALSE};
  }

  // A field lies in the table only when its length reaches past the field's end.
  const UINT64 Length = Fadt->Header.Length;
  const BOOLEAN Wide = Length >= offsetof(ACPI_FADT_TIMER_FIELDS, Flags) + sizeof(UINT32) &&
                       (Fadt->Flags & ACPI_FADT_TMR_VAL_EXT) != 0;
  if (Length >= sizeof(ACPI_FADT_TIMER_FIELDS)) {
    const ACPI_GENERIC_ADDRESS& Extended = Fadt->XPmTimerBlock;
    if (Extended.AddressSpaceId == ACPI_ADDRESS_SPACE_SYSTEM_IO && Extended.Address != 0 &&
        Extended.Address <= LARGEST_IO_PORT) {
      return {PmTimerSearch::Found, static_cast<UINT16>(Extended.Address), Wide};
    }
  }
  if (Length >= offsetof(ACPI_FADT_TIMER_FIELDS, PmTimerBlock) + sizeof(UINT32) &&
      Fadt->PmTimerBlock != 0 && Fadt->PmTimerBlock <= LARGEST_IO_PORT) {
    return {PmTimerSearch::Found, static_cast<UINT16>(Fadt->PmTimerBlock), Wide};
  }
  return {PmTimerSearch::NoPmTimer, 0, FALSE};
}
