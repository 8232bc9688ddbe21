// Reads just enough of the DOS, PE and optional headers to tell a PE32+ x86-64 EFI boot-service
// driver from anything else: a firmware file must not carry an image the loader will refuse.
#include "FirmwareFilePackager/PeImageCheck.h"

#include <cstdio>

namespace {

constexpr UINT16 DOS_SIGNATURE = 0x5A4D;     // "MZ"
constexpr UINTN DOS_PE_HEADER_OFFSET = 0x3C; // e_lfanew
constexpr UINT32 PE_SIGNATURE = 0x00004550;  // "PE\0\0"
// Offsets from the PE signature: the COFF file header follows it, then the optional header.
constexpr UINTN COFF_MACHINE = 4;
constexpr UINTN COFF_SIZE_OF_OPTIONAL_HEADER = 20;
constexpr UINTN OPTIONAL_HEADER = 24;
// Offsets in the optional header.
constexpr UINTN OPTIONAL_MAGIC = 0;
constexpr UINTN OPTIONAL_SUBSYSTEM = 68;
constexpr UINTN OPTIONAL_HEADER_THROUGH_SUBSYSTEM = OPTIONAL_SUBSYSTEM + 2;

constexpr UINT16 MACHINE_X64 = 0x8664;
constexpr UINT16 PE32_PLUS_MAGIC = 0x20B;
constexpr UINT16 SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;

UINT32 ReadLittleEndian(const std::vector<UINT8>& Bytes, UINTN Offset, UINTN Size) {
  UINT32 Value = 0;
  for (UINTN Index = 0; Index < Size; Index++) {
    Value |= UINT32(Bytes[Offset + Index]) << (8 * Index);
  }
  return Value;
}

std::string Hex(UINT32 Value) {
  char Text[16];
  snprintf(Text, sizeof(Text), "0x%X", Value);
  return Text;
}

} // namespace

std::string ProblemWithBootServiceDriver(const std::vector<UINT8>& Image) {
  if (Image.size() < DOS_PE_HEADER_OFFSET + 4 || ReadLittleEndian(Image, 0, 2) != DOS_SIGNATURE) {
    return "not a PE image: no MZ header";
  }
  const UINTN Pe = ReadLittleEndian(Image, DOS_PE_HEADER_OFFSET, 4);
  const UINTN Optional = Pe + OPTIONAL_HEADER;
  if (Pe > Image.size() ||
      Image.size() - Pe < OPTIONAL_HEADER + OPTIONAL_HEADER_THROUGH_SUBSYSTEM ||
      ReadLittleEndian(Image, Pe, 4) != PE_SIGNATURE) {
    return "not a PE image: no PE signature where the MZ header points";
  }
  const UINT32 Machine = ReadLittleEndian(Image, Pe + COFF_MACHINE, 2);
  if (Machine != MACHINE_X64) {
    return "machine " + Hex(Machine) + ", not x86-64 (" + Hex(MACHINE_X64) + ")";
  }
  const UINT32 Magic = ReadLittleEndian(Image, Optional + OPTIONAL_MAGIC, 2);
  if (Magic != PE32_PLUS_MAGIC) {
    return "optional header magic " + Hex(Magic) + ", not PE32+ (" + Hex(PE32_PLUS_MAGIC) + ")";
  }
  const UINT32 OptionalSize = ReadLittleEndian(Image, Pe + COFF_SIZE_OF_OPTIONAL_HEADER, 2);
  if (OptionalSize < OPTIONAL_HEADER_THROUGH_SUBSYSTEM) {
    return "optional header of " + std::to_string(OptionalSize) +
           " bytes, too short to hold the subsystem (at least " +
           std::to_string(OPTIONAL_HEADER_THROUGH_SUBSYSTEM) + ")";
  }
  const UINT32 Subsystem = ReadLittleEndian(Image, Optional + OPTIONAL_SUBSYSTEM, 2);
  if (Subsystem != SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER) {
    return "subsystem " + std::to_string(Subsystem) + ", not an EFI boot-service driver (" +
           std::to_string(SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER) + ")";
  }
  return "";
}
