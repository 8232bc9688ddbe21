// Lays out the depex, the driver's firmware file and its volume. Every size and checksum is
// computed here from the bytes written, so that a dispatcher and a viewer both accept them.
#include "FirmwareFilePackager/FirmwareFiles.h"

#include <algorithm>
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

// The extension header's own size lies 16 bytes into it, after the volume's name.
constexpr UINTN EXT_HEADER_SIZE_FIELD = 16;
constexpr UINTN EXT_HEADER_SIZE_END = EXT_HEADER_SIZE_FIELD + sizeof(UINT32);

UINTN AlignUp(UINTN Offset) {
  return (Offset + EFI_FFS_FILE_ALIGNMENT - 1) & ~(EFI_FFS_FILE_ALIGNMENT - 1);
}

UINT32 Size24(const UINT8 (&Field)[3]) {
  return Field[0] | Field[1] << 8 | Field[2] << 16;
}

// The 16-bit sum of the first Length bytes' little-endian words, and the 8-bit sum of bytes.
UINT16 WordSum(const Bytes& Data, UINTN Length) {
  UINT16 Sum = 0;
  for (UINTN Offset = 0; Offset + 1 < Length; Offset += 2) {
    Sum += UINT16(Data[Offset] | Data[Offset + 1] << 8);
  }
  return Sum;
}
UINT8 ByteSum(const Bytes& Data, UINTN Length) {
  UINT8 Sum = 0;
  for (UINTN Offset = 0; Offset < Length; ++Offset) {
    Sum += Data[Offset];
  }
  return Sum;
}

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
  Header.IntegrityCheckHeader = UINT8(-ByteSum(HeaderBytes, HeaderBytes.size()));
  Header.IntegrityCheckFile = FFS_FIXED_CHECKSUM;
  // Under erase polarity 1 a bit is set by clearing it.
  Header.State =
      UINT8(~(EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID));

  Bytes File;
  Append(File, Header);
  File.insert(File.end(), Data.begin(), Data.end());
  return File;
}

Bytes EmptyVolume(UINTN Blocks) {
  constexpr UINTN HEADER_LENGTH =
      sizeof(EFI_FIRMWARE_VOLUME_HEADER) + sizeof(EFI_FV_BLOCK_MAP_ENTRY);
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
  Header.Checksum = UINT16(-WordSum(Volume, HEADER_LENGTH));
  std::memcpy(Volume.data(), &Header, sizeof(Header));
  Volume.resize(Header.FvLength, ERASED_BYTE);
  return Volume;
}

Bytes FirmwareVolume(const Bytes& File) {
  constexpr UINTN HEADER_LENGTH =
      sizeof(EFI_FIRMWARE_VOLUME_HEADER) + sizeof(EFI_FV_BLOCK_MAP_ENTRY);
  static_assert(HEADER_LENGTH % EFI_FFS_FILE_ALIGNMENT == 0, "the file follows the header");
  return InsertFile(
      EmptyVolume((HEADER_LENGTH + File.size() + VOLUME_BLOCK_SIZE - 1) / VOLUME_BLOCK_SIZE), File);
}

Bytes InsertFile(const Bytes& Volume, const Bytes& File) {
  const auto Refuse = [](const std::string& Why) { throw std::invalid_argument(Why); };
  EFI_FIRMWARE_VOLUME_HEADER Header = {};
  if (Volume.size() < sizeof(Header)) {
    Refuse("is too short for a firmware volume");
  }
  std::memcpy(&Header, Volume.data(), sizeof(Header));
  if (Header.Signature != EFI_FVH_SIGNATURE || Header.FvLength != Volume.size() ||
      Header.HeaderLength < sizeof(Header) || Header.HeaderLength > Volume.size() ||
      WordSum(Volume, Header.HeaderLength) != 0) {
    Refuse("is no firmware volume: its header's signature, length or checksum is wrong");
  }
  if (std::memcmp(&Header.FileSystemGuid, &gEfiFirmwareFileSystem2Guid, sizeof(EFI_GUID)) != 0 ||
      (Header.Attributes & EFI_FVB2_ERASE_POLARITY) == 0) {
    Refuse("is not an FFSv2 volume with erase polarity 1");
  }
  EFI_FFS_FILE_HEADER New = {};
  if (File.size() < sizeof(New)) {
    Refuse("the file is too short for a firmware file");
  }
  std::memcpy(&New, File.data(), sizeof(New));
  // The header's bytes sum to zero but for State and the file checksum.
  if (Size24(New.Size) != File.size() ||
      ByteSum(File, sizeof(New)) != UINT8(New.State + New.IntegrityCheckFile)) {
    Refuse("the file's header is broken: its size or checksum is wrong");
  }

  // Files follow the header (and an extension header, when there is one) on 8-byte boundaries;
  // the free space starts at the first header that is all erased.
  UINTN Offset = Header.HeaderLength;
  if (Header.ExtHeaderOffset != 0 &&
      Header.ExtHeaderOffset + EXT_HEADER_SIZE_END <= Volume.size()) {
    UINT32 ExtSize = 0;
    std::memcpy(&ExtSize, &Volume[Header.ExtHeaderOffset + EXT_HEADER_SIZE_FIELD], sizeof(ExtSize));
    Offset = Header.ExtHeaderOffset + ExtSize;
  }
  for (Offset = AlignUp(Offset); Offset + sizeof(New) <= Volume.size();) {
    const auto At = Volume.begin() + Offset;
    if (std::all_of(At, At + sizeof(New), [](UINT8 Byte) { return Byte == ERASED_BYTE; })) {
      break;
    }
    EFI_FFS_FILE_HEADER Existing = {};
    std::memcpy(&Existing, &*At, sizeof(Existing));
    UINT64 Size = Size24(Existing.Size);
    if (Size == EFI_MAX_24BIT_SIZE && (Existing.Attributes & FFS_ATTRIB_LARGE_FILE) != 0 &&
        Offset + sizeof(Existing) + sizeof(Size) <= Volume.size()) {
      std::memcpy(&Size, &*(At + sizeof(Existing)), sizeof(Size));
    }
    if (Size < sizeof(Existing) || Size > Volume.size() - Offset) {
      Refuse("holds a file whose size is broken, at offset " + std::to_string(Offset));
    }
    // Under erase polarity 1 a state bit is set by clearing it.
    const bool Deleted = (UINT8(~Existing.State) & EFI_FILE_DELETED) != 0;
    if (!Deleted && std::memcmp(&Existing.Name, &New.Name, sizeof(EFI_GUID)) == 0) {
      Refuse("already holds a file of that name, at offset " + std::to_string(Offset));
    }
    Offset = AlignUp(Offset + Size);
  }
  const UINTN Free = Offset < Volume.size() ? Volume.size() - Offset : 0;
  const auto Start = Volume.begin() + (Volume.size() - Free);
  if (File.size() > Free ||
      !std::all_of(Start, Start + File.size(), [](UINT8 Byte) { return Byte == ERASED_BYTE; })) {
    Refuse("has " + std::to_string(Free) +
           " bytes of free space after its last file; the file needs " +
           std::to_string(File.size()));
  }
  Bytes Result = Volume;
  std::copy(File.begin(), File.end(), Result.begin() + (Volume.size() - Free));
  return Result;
}
