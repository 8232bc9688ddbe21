// The ACPI tables a board check reads to find the power-management timer: the root pointer the
// firmware publishes in its configuration table, the extended root table (XSDT), and the fixed
// description table ("FACP") with the timer's port and width.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// The configuration table entry of an ACPI 2.0 or later root pointer.
inline constexpr EFI_GUID gEfiAcpi20TableGuid = {
    0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

// The configuration table entry of an ACPI 1.0 root pointer (revision 0, an RSDT only).
inline constexpr EFI_GUID gEfiAcpi10TableGuid = {
    0xEB9D2D30, 0x2D88, 0x11D3, {0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

// "RSD PTR " as one little-endian word.
constexpr UINT64 ACPI_RSDP_SIGNATURE = 0x2052545020445352ULL;
// From this revision on the root pointer also carries the 64-bit address of the XSDT, and a
// checksum over all its 36 bytes besides the one over its first 20.
constexpr UINT8 ACPI_RSDP_REVISION_WITH_XSDT = 2;
constexpr UINT64 ACPI_RSDP_V1_BYTES = 20;

struct __attribute__((packed)) ACPI_ROOT_POINTER {
  UINT64 Signature;
  UINT8 Checksum;
  CHAR8 OemId[6];
  UINT8 Revision;
  UINT32 RsdtAddress;
  UINT32 Length;
  UINT64 XsdtAddress;
  UINT8 ExtendedChecksum;
  UINT8 Reserved[3];
};
static_assert(offsetof(ACPI_ROOT_POINTER, Revision) == 15 &&
                  offsetof(ACPI_ROOT_POINTER, RsdtAddress) == 16 &&
                  offsetof(ACPI_ROOT_POINTER, XsdtAddress) == 24,
              "root pointer field offsets");
static_assert(sizeof(ACPI_ROOT_POINTER) == 36, "the ACPI 2.0 root pointer is 36 bytes");

// Signatures of the tables, as the little-endian word of their four characters.
constexpr UINT32 ACPI_XSDT_SIGNATURE = 0x54445358; // "XSDT"
constexpr UINT32 ACPI_RSDT_SIGNATURE = 0x54445352; // "RSDT"
constexpr UINT32 ACPI_FADT_SIGNATURE = 0x50434146; // "FACP"

// Every ACPI table but the root pointer starts with this header; Length counts the whole table.
struct ACPI_DESCRIPTION_HEADER {
  UINT32 Signature;
  UINT32 Length;
  UINT8 Revision;
  UINT8 Checksum;
  CHAR8 OemId[6];
  CHAR8 OemTableId[8];
  UINT32 OemRevision;
  UINT32 CreatorId;
  UINT32 CreatorRevision;
};
static_assert(sizeof(ACPI_DESCRIPTION_HEADER) == 36, "the table header is 36 bytes");

// A register's place: its address space (ACPI_ADDRESS_SPACE_...), its width and the address.
struct __attribute__((packed)) ACPI_GENERIC_ADDRESS {
  UINT8 AddressSpaceId;
  UINT8 RegisterBitWidth;
  UINT8 RegisterBitOffset;
  UINT8 AccessSize;
  UINT64 Address;
};
static_assert(sizeof(ACPI_GENERIC_ADDRESS) == 12, "a generic address is 12 bytes");
constexpr UINT8 ACPI_ADDRESS_SPACE_SYSTEM_MEMORY = 0;
constexpr UINT8 ACPI_ADDRESS_SPACE_SYSTEM_IO = 1;

// The fixed description table as far as the power-management timer goes: its 32-bit port
// (PM_TMR_BLK), the flags, and its generic address (X_PM_TMR_BLK). The fields between them are
// kept as bytes. A table shorter than a field does not have that field.
struct __attribute__((packed)) ACPI_FADT_TIMER_FIELDS {
  ACPI_DESCRIPTION_HEADER Header;
  UINT8 FieldsBeforeTimerBlock[40];
  UINT32 PmTimerBlock;
  UINT8 FieldsBeforeFlags[32];
  UINT32 Flags;
  UINT8 FieldsBeforeExtendedTimerBlock[92];
  ACPI_GENERIC_ADDRESS XPmTimerBlock;
};
static_assert(offsetof(ACPI_FADT_TIMER_FIELDS, PmTimerBlock) == 76, "PM_TMR_BLK offset");
static_assert(offsetof(ACPI_FADT_TIMER_FIELDS, Flags) == 112, "Flags offset");
static_assert(offsetof(ACPI_FADT_TIMER_FIELDS, XPmTimerBlock) == 208, "X_PM_TMR_BLK offset");
static_assert(sizeof(ACPI_FADT_TIMER_FIELDS) == 220, "up to the end of X_PM_TMR_BLK");

// Flags: the timer counts 32 bits instead of 24; a hardware-reduced platform has no PM timer.
constexpr UINT32 ACPI_FADT_TMR_VAL_EXT = 1u << 8;
constexpr UINT32 ACPI_FADT_HW_REDUCED_ACPI = 1u << 20;
