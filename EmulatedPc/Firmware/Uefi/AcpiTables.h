// The ACPI tables through which a program finds the power-management timer: the root pointer the
// configuration table names, the extended system description table, and the fixed ACPI
// description table ("FACP") with the timer's port.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Acpi {

// The configuration table's name of an ACPI 2.0 (and later) root pointer.
constexpr Uefi::Guid ACPI_20_TABLE_GUID = {
    0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

struct __attribute__((packed)) RootPointer {
  char Signature[8]; // "RSD PTR "
  uint8_t Checksum;  // over the first 20 bytes
  char OemId[6];
  uint8_t Revision; // 2: the extended fields below are there
  uint32_t RsdtAddress;
  uint32_t Length;
  uint64_t XsdtAddress;
  uint8_t ExtendedChecksum; // over all Length bytes
  uint8_t Reserved[3];
};
static_assert(sizeof(RootPointer) == 36 && offsetof(RootPointer, XsdtAddress) == 24,
              "root pointer layout");
constexpr uint32_t ROOT_POINTER_V1_BYTES = 20;
constexpr uint8_t ROOT_POINTER_REVISION_2 = 2;

struct TableHeader {
  char Signature[4];
  uint32_t Length; // of the whole table
  uint8_t Revision;
  uint8_t Checksum; // the table's bytes sum to 0
  char OemId[6];
  char OemTableId[8];
  uint32_t OemRevision;
  uint32_t CreatorId;
  uint32_t CreatorRevision;
};
static_assert(sizeof(TableHeader) == 36, "description header size");

struct __attribute__((packed)) ExtendedSystemTable {
  TableHeader Header;  // "XSDT"
  uint64_t Entries[1]; // 64-bit addresses of the other tables
};

struct __attribute__((packed)) GenericAddress {
  uint8_t SpaceId; // 1: system I/O
  uint8_t BitWidth;
  uint8_t BitOffset;
  uint8_t AccessSize; // 3: 32 bits
  uint64_t Address;
};
static_assert(sizeof(GenericAddress) == 12, "generic address size");
constexpr uint8_t SPACE_SYSTEM_IO = 1;
constexpr uint8_t ACCESS_32_BITS = 3;

// The fixed description table, up to its last field of the 2.0 layout; only the timer's fields
// are named, the rest (the platform's other blocks, its DSDT) stays zero on this machine.
struct __attribute__((packed)) FixedDescriptionTable {
  TableHeader Header; // "FACP"
  uint8_t Unnamed1[40];
  uint32_t PmTimerBlock; // PM_TMR_BLK: the timer's I/O port
  uint8_t Unnamed2[11];
  uint8_t PmTimerLength; // PM_TMR_LEN: 4
  uint8_t Unnamed3[20];
  uint32_t Flags;
  uint8_t Unnamed4[92];
  GenericAddress ExtendedPmTimerBlock; // X_PM_TMR_BLK
  uint8_t Unnamed5[24];
};
static_assert(offsetof(FixedDescriptionTable, PmTimerBlock) == 76 &&
                  offsetof(FixedDescriptionTable, PmTimerLength) == 91 &&
                  offsetof(FixedDescriptionTable, Flags) == 112 &&
                  offsetof(FixedDescriptionTable, ExtendedPmTimerBlock) == 208,
              "fixed description table layout");
static_assert(sizeof(FixedDescriptionTable) == 244, "fixed description table size");
constexpr uint8_t FIXED_DESCRIPTION_REVISION = 3;
// Flags bit 8, TMR_VAL_EXT: a 32-bit timer; clear, it counts 24 bits.
constexpr uint32_t FLAG_TIMER_VALUE_EXTENDED = 1u << 8;

} // namespace Acpi
