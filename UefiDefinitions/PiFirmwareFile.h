// PI firmware storage: dependency expressions, firmware file (FFS) and section headers and the
// firmware volume header, as a DXE dispatcher reads them from flash. All fields little-endian.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// ---- Dependency expression: one-byte opcodes; PUSH is followed by the protocol's GUID ----
constexpr UINT8 EFI_DEP_PUSH = 0x02;
constexpr UINT8 EFI_DEP_AND = 0x03;
constexpr UINT8 EFI_DEP_END = 0x08;

// ---- Firmware file ----
constexpr UINT8 EFI_FV_FILETYPE_DRIVER = 0x07;
// IntegrityCheck.File when the file carries no data checksum (no FFS_ATTRIB_CHECKSUM).
constexpr UINT8 FFS_FIXED_CHECKSUM = 0xAA;
// State bits as written; a volume with erase polarity 1 stores each of them inverted.
constexpr UINT8 EFI_FILE_HEADER_CONSTRUCTION = 0x01;
constexpr UINT8 EFI_FILE_HEADER_VALID = 0x02;
constexpr UINT8 EFI_FILE_DATA_VALID = 0x04;
constexpr UINT8 EFI_FILE_DELETED = 0x10;
// A file larger than a 24-bit size: its size field holds 0xFFFFFF, and a 64-bit size follows the
// header.
constexpr UINT8 FFS_ATTRIB_LARGE_FILE = 0x01;
// The largest size a 24-bit size field holds, for a file or a section.
constexpr UINT32 EFI_MAX_24BIT_SIZE = 0xFFFFFF;

struct EFI_FFS_FILE_HEADER {
  EFI_GUID Name;
  UINT8 IntegrityCheckHeader;
  UINT8 IntegrityCheckFile;
  UINT8 Type;
  UINT8 Attributes;
  UINT8 Size[3];
  UINT8 State;
};
static_assert(sizeof(EFI_FFS_FILE_HEADER) == 24, "EFI_FFS_FILE_HEADER is 24 bytes");
static_assert(offsetof(EFI_FFS_FILE_HEADER, IntegrityCheckHeader) == 16 &&
                  offsetof(EFI_FFS_FILE_HEADER, Type) == 18 &&
                  offsetof(EFI_FFS_FILE_HEADER, Size) == 20 &&
                  offsetof(EFI_FFS_FILE_HEADER, State) == 23,
              "EFI_FFS_FILE_HEADER field offsets");

// ---- Sections: each starts on a 4-byte boundary from the start of the file's data ----
constexpr UINT8 EFI_SECTION_PE32 = 0x10;
constexpr UINT8 EFI_SECTION_DXE_DEPEX = 0x13;
constexpr UINT8 EFI_SECTION_USER_INTERFACE = 0x15;
constexpr UINTN EFI_SECTION_ALIGNMENT = 4;

struct EFI_COMMON_SECTION_HEADER {
  UINT8 Size[3];
  UINT8 Type;
};
static_assert(sizeof(EFI_COMMON_SECTION_HEADER) == 4, "EFI_COMMON_SECTION_HEADER is 4 bytes");

// ---- Firmware volume ----
inline constexpr EFI_GUID gEfiFirmwareFileSystem2Guid = {
    0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
constexpr UINT32 EFI_FVH_SIGNATURE = 0x4856465F; // "_FVH" as stored
constexpr UINT8 EFI_FVH_REVISION = 2;
constexpr UINT32 EFI_FVB2_ERASE_POLARITY = 0x00000800;
constexpr UINTN EFI_FFS_FILE_ALIGNMENT = 8;

struct EFI_FV_BLOCK_MAP_ENTRY {
  UINT32 NumBlocks;
  UINT32 Length;
};
static_assert(sizeof(EFI_FV_BLOCK_MAP_ENTRY) == 8, "EFI_FV_BLOCK_MAP_ENTRY is 8 bytes");

// The header as stored, with the first block map entry; the map goes on after it and ends with
// an all-zero entry.
struct EFI_FIRMWARE_VOLUME_HEADER {
  UINT8 ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64 FvLength;
  UINT32 Signature;
  UINT32 Attributes;
  UINT16 HeaderLength;
  UINT16 Checksum;
  UINT16 ExtHeaderOffset;
  UINT8 Reserved;
  UINT8 Revision;
  EFI_FV_BLOCK_MAP_ENTRY BlockMap[1];
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME_HEADER) == 64, "EFI_FIRMWARE_VOLUME_HEADER is 64 bytes");
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid) == 16 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength) == 32 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature) == 40 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes) == 44 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength) == 48 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, Checksum) == 50 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision) == 55 &&
                  offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap) == 56,
              "EFI_FIRMWARE_VOLUME_HEADER field offsets");
