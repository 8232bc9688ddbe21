// Lays out the depex, the driver's firmware file and its volume. Every size and checksum is
// computed here from the bytes written, so that a dispatcher and a viewer both accept them.
#include "FirmwareFilePackager/FirmwareFiles.h"

#include <bit>
#include <cstring>
#include <stdexcept>

#include "UefiDefinitions/CpuArchProtocol.h"
#include "UefiDefinitions/PcdProtocol.h"
#include "UefiDefinitions/PiFirmwareFile.h"

// The headers are copied into the output as they lie in memory.
static_assert(std::endian::native == std::endian::little, "PI layouts are little-endian");

namespace {

// Read, write and lock capabilities and status, erase polarity 1, 16-byte volume alignment.
constexpr UINT32 VOLUME_ATTRIBUTES = 0x0004FEFF;
static_assert((VOLUME_ATTRIBUTES & EFI_FVB2_ERASE_POLARITY) != 0, "the flash erases to 0xFF");
constexpr UINT8 ERASED_BYTE = 0xFF;
constexpr UINT32 VOLUME_BLOCK_SIZE = 4096;

template <typename T> void Append(Bytes& Out, const T& Value) {
  const auto* Raw = reinterpret_cast<const UINT8*>(&Value);
  Out.insert(Out.end(), Raw, Raw + sizeof(T));
}

void PadTo(Bytes& Out, UINTN Alignment, UINTN From, UINT8 Fill) {
  while ((Out.size() - From) % Alignment != 0) {
    Out.push_back(Fill);
  }
}

void Store24(UINT8 (&Field)[3], UINTN Size, const char* What) {
  if (Size > EFI_MAX_24BIT_SIZE) {
    throw std::length_error(std::string(What) + " would be " + std::to_string(Size) +
                            " bytes, more than a 24-bit size field holds (" +
                            std::to_string(EFI_MAX_24BIT_SIZE) + ")");
  }
  Field[0] = UINT8(Size);
  Field[1] = UINT8(Size >> 8);
  Field[2] = UINT8(Size >> 16);
}

// A section at the end of Data (the file's data so far), after padding to a section boundary.
void AppendSection(Bytes& Data, UINT8 Type, const Bytes& Body, const char* What) {
  PadTo(Data, EFI_SECTION_ALIGNMENT, 0, 0);
  EFI_COMMON_SECTION_HEADER Header = {};
  Store24(Header.Size, sizeof(Header) + Body.size(), What);
  Header.Type = Type;
  Append(Data, Header);
  Data.insert(Data.end(), Body.begin(), Body.end());
}

} // namespace

Bytes DriverDependencyExpression() {
  // The driver hooks its vector through the CPU Architectural Protocol and reads the TSC rate
  // from the configuration database at entry. It must not wait for the Timer protocol: it is the
  // one that installs it.
  Bytes Depex;
  for (const EFI_GUID* Protocol : {&gEfiCpuArchProtocolGuid, &gPcdProtocolGuid}) {
    Depex.push_back(EFI_DEP_PUSH);
    Append(Depex, *Protocol);
  }
  Depex.push_back(EFI_DEP_AND);
  Depex.push_back(EFI_DEP_END);
  return Depex;
}

Bytes DriverFile(const EFI_GUID& FileName, const Bytes& Depex, const Bytes& Image,
                 const std::u16string& UiName) {
  Bytes Ui;
  for (char16_t Character : UiName + u'\0') {
    Append(Ui, Character);
  }
  Bytes Data;
  AppendSection(Data, EFI_SECTION_DXE_DEPEX, Depex, "the DXE_DEPEX section");
  AppendSection(Data, EFI_SECTION_PE32, Image, "the PE32 section");
  AppendSection(Data, EFI_SECTION_USER_INTERFACE, Ui, "the USER_INTERFACE section");

  EFI_FFS_FILE_HEADER Header = {};
  Header.Name = FileName;
  Header.Type = EFI_FV_FILETYPE_DRIVER;
  Store24(Header.Size, sizeof(Header) + Data.size(), "the firmware file");
  // The header checksum counts State and the file checksum as 0.
  Bytes HeaderBytes;
  Append(HeaderBytes, Header);
  UINT8 Sum = 0;
  for (UINT8 Byte : HeaderBytes) {
    Sum += Byte;
  }
  Header.IntegrityCheckHeader = UINT8(-Sum);
  Header.IntegrityCheckFile = FFS_FIXED_CHECKSUM;
  // Under erase polarity 1 a bit is set by clearing it.
  Header.State =
      UINT8(~(EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID));

  Bytes File;
  Append(File, Header);
  File.insert(File.end(), Data.begin(), Data.end());
  return File;
}

Bytes FirmwareVolume(const Bytes& File) {
  constexpr UINTN HEADER_LENGTH =
      sizeof(EFI_FIRMWARE_VOLUME_HEADER) + sizeof(EFI_FV_BLOCK_MAP_ENTRY);
  static_assert(HEADER_LENGTH % EFI_FFS_FILE_ALIGNMENT == 0, "the file follows the header");
  const UINTN Blocks = (HEADER_LENGTH + File.size() + VOLUME_BLOCK_SIZE - 1) / VOLUME_BLOCK_SIZE;

  EFI_FIRMWARE_VOLUME_HEADER Header = {};
  Header.FileSystemGuid = gEfiFirmwareFileSystem2Guid;
  Header.FvLength = Blocks * VOLUME_BLOCK_SIZE;
  Header.Signature = EFI_FVH_SIGNATURE;
  Header.Attributes = VOLUME_ATTRIBUTES;
  Header.HeaderLength = HEADER_LENGTH;
  Header.Revision = EFI_FVH_REVISION;
  Header.BlockMap[0] = {UINT32(Blocks), VOLUME_BLOCK_SIZE};

  Bytes Volume;
  Append(Volume, Header);
  Append(Volume, EFI_FV_BLOCK_MAP_ENTRY{0, 0});
  // The 16-bit sum of the header's words is zero.
  UINT16 Sum = 0;
  for (UINTN Offset = 0; Offset < HEADER_LENGTH; Offset += 2) {
    Sum += UINT16(Volume[Offset] | Volume[Offset + 1] << 8);
  }
  Header.Checksum = UINT16(-Sum);
  std::memcpy(Volume.data(), &Header, sizeof(Header));

  Volume.insert(Volume.end(), File.begin(), File.end());
  Volume.resize(Header.FvLength, ERASED_BYTE);
  return Volume;
}
