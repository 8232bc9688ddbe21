#include "Core/Dispatcher.h"

#include "Platform/Console.h"
#include "Platform/Emulator.h"
#include "Services/ProtocolDatabase.h"
#include "Uefi/FirmwareStorage.h"

namespace Dispatcher {
namespace {

constexpr unsigned MAX_DRIVERS = 8;
constexpr unsigned DEPEX_STACK_DEPTH = 16;

struct DriverFile {
  const uint8_t* Depex; // null: no DXE_DEPEX section
  uint64_t DepexBytes;
  const uint8_t* Image;
  uint64_t ImageBytes;
  bool Started;
};

DriverFile Drivers[MAX_DRIVERS];
unsigned DriverCount = 0;

uint32_t Size24(const uint8_t (&Size)[3]) {
  return Size[0] | Size[1] << 8 | static_cast<uint32_t>(Size[2]) << 16;
}

uint8_t Sum8(const uint8_t* Bytes, uint64_t Count) {
  uint8_t Sum = 0;
  for (uint64_t Index = 0; Index < Count; ++Index) {
    Sum = static_cast<uint8_t>(Sum + Bytes[Index]);
  }
  return Sum;
}

uint64_t AlignUp(uint64_t Value, uint64_t Alignment) {
  return (Value + Alignment - 1) & ~(Alignment - 1);
}

const Uefi::VolumeHeader& CheckVolume(const uint8_t* Volume, uint64_t VolumeBytes) {
  const auto& Header = *reinterpret_cast<const Uefi::VolumeHeader*>(Volume);
  if (VolumeBytes < sizeof(Header) || Header.Signature != Uefi::VOLUME_SIGNATURE) {
    Emulator::Finish("volume-signature-bad");
  }
  if (!Uefi::SameGuid(Header.FileSystem, Uefi::FIRMWARE_FILE_SYSTEM2_GUID)) {
    Emulator::Finish("volume-file-system-unknown");
  }
  if (Header.Length > VolumeBytes || Header.HeaderLength < sizeof(Header) ||
      Header.HeaderLength > Header.Length || Header.HeaderLength % 2 != 0 ||
      Header.ExtHeaderOffset != 0) { // no extended header: the files follow the block map
    Emulator::Finish("volume-malformed");
  }
  uint16_t Sum = 0;
  for (uint64_t Offset = 0; Offset < Header.HeaderLength; Offset += 2) {
    Sum = static_cast<uint16_t>(Sum + (Volume[Offset] | Volume[Offset + 1] << 8));
  }
  if (Sum != 0) {
    Emulator::Finish("volume-checksum-bad");
  }
  return Header;
}

void FindSections(const uint8_t* Data, uint64_t DataBytes, DriverFile& Driver) {
  for (uint64_t Offset = 0; Offset + sizeof(Uefi::SectionHeader) <= DataBytes;) {
    const auto& Section = *reinterpret_cast<const Uefi::SectionHeader*>(Data + Offset);
    const uint32_t Size = Size24(Section.Size);
    if (Size < sizeof(Section) || Size > DataBytes - Offset) {
      Emulator::Finish("section-malformed");
    }
    const uint8_t* Body = Data + Offset + sizeof(Section);
    if (Section.Type == Uefi::SECTION_DXE_DEPEX) {
      Driver.Depex = Body;
      Driver.DepexBytes = Size - sizeof(Section);
    } else if (Section.Type == Uefi::SECTION_PE32) {
      Driver.Image = Body;
      Driver.ImageBytes = Size - sizeof(Section);
    }
    Offset = AlignUp(Offset + Size, Uefi::SECTION_ALIGNMENT);
  }
  if (Driver.Image == nullptr) {
    Emulator::Finish("driver-file-without-pe32");
  }
}

// Checks every file up to the first erased header and keeps the valid driver files.
void FindDrivers(const uint8_t* Volume, const Uefi::VolumeHeader& Header) {
  const uint8_t Erased = (Header.Attributes & Uefi::VOLUME_ERASE_POLARITY) != 0 ? 0xFF : 0x00;
  for (uint64_t Offset = AlignUp(Header.HeaderLength, Uefi::FILE_ALIGNMENT);
       Offset + sizeof(Uefi::FileHeader) <= Header.Length;) {
    const uint8_t* At = Volume + Offset;
    const auto& File = *reinterpret_cast<const Uefi::FileHeader*>(At);
    bool AllErased = true;
    for (uint64_t Index = 0; Index < sizeof(File); ++Index) {
      AllErased = AllErased && At[Index] == Erased;
    }
    if (AllErased) {
      return;
    }
    const uint32_t Size = Size24(File.Size);
    if (Size < sizeof(File) || Size > Header.Length - Offset) {
      Emulator::Finish("file-malformed");
    }
    if (static_cast<uint8_t>(Sum8(At, sizeof(File)) - File.State - File.DataChecksum) != 0) {
      Emulator::Finish("file-header-checksum-bad");
    }
    const uint8_t* Data = At + sizeof(File);
    if ((File.Attributes & Uefi::FILE_ATTRIBUTE_CHECKSUM) != 0
            ? static_cast<uint8_t>(Sum8(Data, Size - sizeof(File)) + File.DataChecksum) != 0
            : File.DataChecksum != Uefi::FILE_FIXED_CHECKSUM) {
      Emulator::Finish("file-data-checksum-bad");
    }
    const uint8_t State = static_cast<uint8_t>(File.State ^ Erased);
    if (File.Type == Uefi::FILE_TYPE_DRIVER &&
        (State & (Uefi::FILE_STATE_DATA_VALID | Uefi::FILE_STATE_GONE)) ==
            Uefi::FILE_STATE_DATA_VALID) {
      if (DriverCount == MAX_DRIVERS) {
        Emulator::Finish("too-many-driver-files");
      }
      FindSections(Data, Size - sizeof(File), Drivers[DriverCount++]);
    }
    Offset = AlignUp(Offset + Size, Uefi::FILE_ALIGNMENT);
  }
}

// Whether the expression holds against the protocols installed now.
bool DepexHolds(const uint8_t* Depex, uint64_t Bytes) {
  bool Stack[DEPEX_STACK_DEPTH];
  unsigned Depth = 0;
  for (uint64_t Offset = 0; Offset < Bytes;) {
    const uint8_t Opcode = Depex[Offset++];
    const bool Pops = Opcode == Uefi::DEPEX_AND || Opcode == Uefi::DEPEX_OR;
    const bool Pushes =
        Opcode == Uefi::DEPEX_PUSH || Opcode == Uefi::DEPEX_TRUE || Opcode == Uefi::DEPEX_FALSE;
    if ((Pushes && Depth == DEPEX_STACK_DEPTH) || (Pops && Depth < 2) ||
        (Opcode == Uefi::DEPEX_NOT && Depth < 1) ||
        (Opcode == Uefi::DEPEX_PUSH && Bytes - Offset < sizeof(Uefi::Guid))) {
      break;
    }
    switch (Opcode) {
    case Uefi::DEPEX_PUSH: {
      Uefi::Guid Protocol; // the operand is not aligned in the file
      for (size_t Index = 0; Index < sizeof(Protocol); ++Index) {
        reinterpret_cast<uint8_t*>(&Protocol)[Index] = Depex[Offset++];
      }
      Uefi::Handle Owner = nullptr;
      ProtocolDatabase::Find(Protocol, &Owner);
      Stack[Depth++] = Owner != nullptr;
      break;
    }
    case Uefi::DEPEX_AND:
    case Uefi::DEPEX_OR:
      --Depth;
      Stack[Depth - 1] = Opcode == Uefi::DEPEX_AND ? Stack[Depth - 1] && Stack[Depth]
                                                   : Stack[Depth - 1] || Stack[Depth];
      break;
    case Uefi::DEPEX_NOT:
      Stack[Depth - 1] = !Stack[Depth - 1];
      break;
    case Uefi::DEPEX_TRUE:
    case Uefi::DEPEX_FALSE:
      Stack[Depth++] = Opcode == Uefi::DEPEX_TRUE;
      break;
    case Uefi::DEPEX_END:
      if (Depth == 1) {
        return Stack[0];
      }
      Offset = Bytes; // END with other than one value left
      break;
    case Uefi::DEPEX_BEFORE:
    case Uefi::DEPEX_AFTER:
    case Uefi::DEPEX_SOR:
      // Ordering among files and dispatch on request: this dispatcher has neither.
      Console::FactHex("depex-opcode", Opcode);
      Emulator::Finish("depex-opcode-unsupported");
    default:
      Offset = Bytes;
    }
  }
  Emulator::Finish("depex-malformed");
}

} // namespace

void Run(const uint8_t* Volume, uint64_t VolumeBytes, StartFn Start, AfterPassFn AfterPass) {
  FindDrivers(Volume, CheckVolume(Volume, VolumeBytes));
  for (unsigned Pass = 1;; ++Pass) {
    bool Started = false;
    for (unsigned Index = 0; Index < DriverCount; ++Index) {
      DriverFile& Driver = Drivers[Index];
      // A driver file without a depex waits for every architectural protocol, and this machine
      // never has them all.
      if (!Driver.Started && Driver.Depex != nullptr &&
          DepexHolds(Driver.Depex, Driver.DepexBytes)) {
        Driver.Started = Started = true;
        Start(Driver.Image, Driver.ImageBytes, Pass);
      }
    }
    if (!AfterPass(Pass) && !Started) {
      return;
    }
  }
}

} // namespace Dispatcher
