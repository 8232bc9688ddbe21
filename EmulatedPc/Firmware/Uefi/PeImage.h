// The parts of the PE32+ executable format that a loader of relocatable driver images reads.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace PeImage {

constexpr uint16_t DOS_SIGNATURE = 0x5A4D;    // "MZ"
constexpr uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr uint16_t MACHINE_X64 = 0x8664;
// File header characteristics: the linker removed the base relocations, so the image runs only
// at its linked base. Without it, an image with no relocations has no address to adjust.
constexpr uint16_t FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint16_t SUBSYSTEM_EFI_APPLICATION = 10;
constexpr uint16_t SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;
// The certificate table of a signed image: its "address" is a file offset, since it is not loaded.
constexpr uint32_t DIRECTORY_CERTIFICATE_TABLE = 4;
constexpr uint32_t DIRECTORY_BASE_RELOCATION = 5;
constexpr uint16_t RELOCATION_ABSOLUTE = 0; // padding entry, nothing to patch
constexpr uint16_t RELOCATION_DIR64 = 10;   // a 64-bit address to shift by the load delta
constexpr unsigned RELOCATION_TYPE_SHIFT = 12;
constexpr uint16_t RELOCATION_OFFSET_MASK = 0x0FFF;

struct DosHeader {
  uint16_t Magic;
  uint8_t Unused[58];
  uint32_t NewHeaderOffset;
};
static_assert(offsetof(DosHeader, NewHeaderOffset) == 0x3C, "e_lfanew offset");

struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};
static_assert(sizeof(FileHeader) == 20, "COFF file header size");

// One entry of the certificate table; entries follow each other at 8-byte boundaries.
struct CertificateHeader {
  uint32_t Length; // of the whole entry, this header included
  uint16_t Revision;
  uint16_t CertificateType;
};
static_assert(sizeof(CertificateHeader) == 8, "WIN_CERTIFICATE header size");
constexpr uint16_t CERTIFICATE_REVISION_2 = 0x0200;
constexpr uint16_t CERTIFICATE_TYPE_PKCS_SIGNED_DATA = 0x0002; // Authenticode
constexpr uint32_t CERTIFICATE_ALIGNMENT = 8;

struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

struct OptionalHeader64 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint64_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t MajorOperatingSystemVersion;
  uint16_t MinorOperatingSystemVersion;
  uint16_t MajorImageVersion;
  uint16_t MinorImageVersion;
  uint16_t MajorSubsystemVersion;
  uint16_t MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint64_t SizeOfStackReserve;
  uint64_t SizeOfStackCommit;
  uint64_t SizeOfHeapReserve;
  uint64_t SizeOfHeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  DataDirectory Directories[16];
};
static_assert(offsetof(OptionalHeader64, ImageBase) == 24, "PE32+ optional header layout");
static_assert(offsetof(OptionalHeader64, Subsystem) == 68, "PE32+ optional header layout");
static_assert(offsetof(OptionalHeader64, Directories) == 112, "PE32+ optional header layout");
static_assert(sizeof(OptionalHeader64) == 240, "PE32+ optional header size");

struct NtHeaders64 {
  uint32_t Signature;
  FileHeader File;
  OptionalHeader64 Optional;
};
static_assert(offsetof(NtHeaders64, Optional) == 24, "optional header follows the file header");

struct SectionHeader {
  uint8_t Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};
static_assert(sizeof(SectionHeader) == 40, "section header size");

struct RelocationBlock {
  uint32_t PageRva;
  uint32_t BlockSize; // header included
};
static_assert(sizeof(RelocationBlock) == 8, "relocation block header size");

} // namespace PeImage
