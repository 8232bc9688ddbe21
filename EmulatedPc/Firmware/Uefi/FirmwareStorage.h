// Firmware storage as this firmware's dispatcher reads it from the ROM: the volume header, the
// files in it, their sections, and the dependency expression of a driver file.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Uefi {

constexpr Guid FIRMWARE_FILE_SYSTEM2_GUID = {
    0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
constexpr uint32_t VOLUME_SIGNATURE = 0x4856465F; // "_FVH"
constexpr uint32_t VOLUME_ERASE_POLARITY = 0x800; // erased flash reads 0xFF

// The header; its block map follows, within HeaderLength.
struct VolumeHeader {
  uint8_t ZeroVector[16];
  Guid FileSystem;
  uint64_t Length;
  uint32_t Signature;
  uint32_t Attributes;
  uint16_t HeaderLength;
  uint16_t Checksum; // the 16-bit sum of the HeaderLength bytes is zero
  uint16_t ExtHeaderOffset;
  uint8_t Reserved;
  uint8_t Revision;
};
static_assert(sizeof(VolumeHeader) == 56 && offsetof(VolumeHeader, Length) == 32 &&
                  offsetof(VolumeHeader, HeaderLength) == 48,
              "volume header layout");

struct FileHeader {
  Guid Name;
  uint8_t HeaderChecksum; // the header's 8-bit sum is zero, counting State and DataChecksum as 0
  uint8_t DataChecksum;   // FILE_FIXED_CHECKSUM, or with FILE_ATTRIBUTE_CHECKSUM: data sums to 0
  uint8_t Type;
  uint8_t Attributes;
  uint8_t Size[3]; // the whole file, header included
  uint8_t State;
};
static_assert(sizeof(FileHeader) == 24 && offsetof(FileHeader, State) == 23, "file header layout");
constexpr uint64_t FILE_ALIGNMENT = 8;
constexpr uint8_t FILE_TYPE_DRIVER = 0x07;
constexpr uint8_t FILE_ATTRIBUTE_CHECKSUM = 0x40;
constexpr uint8_t FILE_FIXED_CHECKSUM = 0xAA;
constexpr uint8_t FILE_STATE_DATA_VALID = 0x04;
constexpr uint8_t FILE_STATE_GONE = 0x30; // deleted, or its header marked invalid

struct SectionHeader {
  uint8_t Size[3]; // header included
  uint8_t Type;
};
static_assert(sizeof(SectionHeader) == 4, "section header layout");
constexpr uint64_t SECTION_ALIGNMENT = 4;
constexpr uint8_t SECTION_PE32 = 0x10;
constexpr uint8_t SECTION_DXE_DEPEX = 0x13;

// Dependency expression opcodes; PUSH is followed by a protocol GUID.
enum DepexOpcode : uint8_t {
  DEPEX_BEFORE,
  DEPEX_AFTER,
  DEPEX_PUSH,
  DEPEX_AND,
  DEPEX_OR,
  DEPEX_NOT,
  DEPEX_TRUE,
  DEPEX_FALSE,
  DEPEX_END,
  DEPEX_SOR
};
static_assert(DEPEX_PUSH == 0x02 && DEPEX_END == 0x08 && DEPEX_SOR == 0x09, "depex opcodes");

} // namespace Uefi
