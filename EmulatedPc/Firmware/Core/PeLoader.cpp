#include "Core/PeLoader.h"

#include "Uefi/PeImage.h"

namespace PeLoader {
namespace {

constexpr uint32_t DIRECTORY_IMPORT = 1;
constexpr uint64_t PAGE_SIZE = 4096;

template <typename T> const T* At(const uint8_t* File, size_t FileSize, uint64_t Offset) {
  if (Offset > FileSize || FileSize - Offset < sizeof(T)) {
    return nullptr;
  }
  return reinterpret_cast<const T*>(File + Offset);
}

void Copy(uint8_t* To, const uint8_t* From, size_t Bytes) {
  for (size_t Index = 0; Index < Bytes; ++Index) {
    To[Index] = From[Index];
  }
}

void Zero(uint8_t* To, size_t Bytes) {
  for (size_t Index = 0; Index < Bytes; ++Index) {
    To[Index] = 0;
  }
}

bool Within(uint64_t Offset, uint64_t Length, uint64_t Limit) {
  return Offset <= Limit && Length <= Limit - Offset;
}

const char* ApplyRelocations(const PeImage::DataDirectory& Directory, uint8_t* Base,
                             uint64_t ImageSize, uint64_t Delta, uint32_t& Applied) {
  Applied = 0;
  if (!Within(Directory.VirtualAddress, Directory.Size, ImageSize)) {
    return "relocation directory outside the image";
  }
  uint64_t Offset = Directory.VirtualAddress;
  const uint64_t End = Offset + Directory.Size;
  while (Offset + sizeof(PeImage::RelocationBlock) <= End) {
    const auto* Block = reinterpret_cast<const PeImage::RelocationBlock*>(Base + Offset);
    if (Block->BlockSize < sizeof(PeImage::RelocationBlock) || Offset + Block->BlockSize > End) {
      return "malformed relocation block";
    }
    const auto* Entries = reinterpret_cast<const uint16_t*>(Block + 1);
    const uint64_t Count = (Block->BlockSize - sizeof(PeImage::RelocationBlock)) / sizeof(uint16_t);
    for (uint64_t Index = 0; Index < Count; ++Index) {
      const uint16_t Type = Entries[Index] >> PeImage::RELOCATION_TYPE_SHIFT;
      const uint64_t Target = Block->PageRva + (Entries[Index] & PeImage::RELOCATION_OFFSET_MASK);
      if (Type == PeImage::RELOCATION_ABSOLUTE) {
        continue;
      }
      if (Type != PeImage::RELOCATION_DIR64) {
        return "relocation type other than DIR64";
      }
      if (!Within(Target, sizeof(uint64_t), ImageSize)) {
        return "relocation target outside the image";
      }
      uint64_t Value;
      Copy(reinterpret_cast<uint8_t*>(&Value), Base + Target, sizeof(Value));
      Value += Delta;
      Copy(Base + Target, reinterpret_cast<const uint8_t*>(&Value), sizeof(Value));
      ++Applied;
    }
    Offset += Block->BlockSize;
  }
  return nullptr;
}

// A signed image carries its Authenticode signatures in a table after its sections. This loader
// does not verify them (no Secure Boot here), but the table must be well formed and lie within
// the file.
const char* CheckCertificateTable(const uint8_t* File, size_t FileSize,
                                  const PeImage::DataDirectory& Table) {
  if (!Within(Table.VirtualAddress, Table.Size, FileSize)) {
    return "certificate table outside the file";
  }
  const uint8_t* Entries = File + Table.VirtualAddress;
  uint64_t Offset = 0;
  while (Offset < Table.Size) {
    const auto* Entry = At<PeImage::CertificateHeader>(Entries, Table.Size, Offset);
    if (Entry == nullptr || Entry->Length < sizeof(PeImage::CertificateHeader) ||
        !Within(Offset, Entry->Length, Table.Size)) {
      return "malformed certificate table";
    }
    if (Entry->Revision != PeImage::CERTIFICATE_REVISION_2 ||
        Entry->CertificateType != PeImage::CERTIFICATE_TYPE_PKCS_SIGNED_DATA) {
      return "certificate other than an Authenticode signature";
    }
    const uint64_t Aligned =
        (static_cast<uint64_t>(Entry->Length) + PeImage::CERTIFICATE_ALIGNMENT - 1) &
        ~static_cast<uint64_t>(PeImage::CERTIFICATE_ALIGNMENT - 1);
    Offset += Aligned;
  }
  return nullptr;
}

} // namespace

const char* Load(const uint8_t* File, size_t FileSize, Kind Expected, uint8_t* Destination,
                 size_t Capacity, LoadedImage& Image) {
  const auto* Dos = At<PeImage::DosHeader>(File, FileSize, 0);
  if (Dos == nullptr || Dos->Magic != PeImage::DOS_SIGNATURE) {
    return "no MZ header";
  }
  const auto* Nt = At<PeImage::NtHeaders64>(File, FileSize, Dos->NewHeaderOffset);
  if (Nt == nullptr || Nt->Signature != PeImage::PE_SIGNATURE) {
    return "no PE header";
  }
  if (Nt->File.Machine != PeImage::MACHINE_X64) {
    return "not an x86-64 image";
  }
  if (Nt->File.SizeOfOptionalHeader < sizeof(PeImage::OptionalHeader64) ||
      Nt->Optional.Magic != PeImage::OPTIONAL_MAGIC_PE32_PLUS) {
    return "not a PE32+ image";
  }
  const PeImage::OptionalHeader64& Optional = Nt->Optional;
  if (Expected == Kind::BootServiceDriver &&
      Optional.Subsystem != PeImage::SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER) {
    return "not an EFI boot-service driver (subsystem 11)";
  }
  if (Expected == Kind::Application && Optional.Subsystem != PeImage::SUBSYSTEM_EFI_APPLICATION) {
    return "not an EFI application (subsystem 10)";
  }
  if (Optional.NumberOfRvaAndSizes > DIRECTORY_IMPORT &&
      Optional.Directories[DIRECTORY_IMPORT].Size != 0) {
    return "the image imports symbols";
  }
  if (Optional.SizeOfImage > Capacity) {
    return "image larger than the load area";
  }
  if (Optional.SectionAlignment > PAGE_SIZE ||
      reinterpret_cast<uint64_t>(Destination) % Optional.SectionAlignment != 0) {
    return "section alignment not met by the load area";
  }
  if (Optional.SizeOfHeaders > FileSize || Optional.SizeOfHeaders > Optional.SizeOfImage) {
    return "headers larger than the file";
  }
  if (Optional.AddressOfEntryPoint >= Optional.SizeOfImage) {
    return "entry point outside the image";
  }

  Zero(Destination, Optional.SizeOfImage);
  Copy(Destination, File, Optional.SizeOfHeaders);

  const uint64_t SectionTable = Dos->NewHeaderOffset + offsetof(PeImage::NtHeaders64, Optional) +
                                Nt->File.SizeOfOptionalHeader;
  for (uint16_t Index = 0; Index < Nt->File.NumberOfSections; ++Index) {
    const auto* Section = At<PeImage::SectionHeader>(
        File, FileSize, SectionTable + Index * sizeof(PeImage::SectionHeader));
    if (Section == nullptr) {
      return "section table outside the file";
    }
    const uint64_t RawBytes =
        Section->SizeOfRawData < Section->VirtualSize || Section->VirtualSize == 0
            ? Section->SizeOfRawData
            : Section->VirtualSize;
    if (!Within(Section->PointerToRawData, RawBytes, FileSize) ||
        !Within(Section->VirtualAddress, RawBytes, Optional.SizeOfImage) ||
        !Within(Section->VirtualAddress, Section->VirtualSize, Optional.SizeOfImage)) {
      return "section outside the file or the image";
    }
    Copy(Destination + Section->VirtualAddress, File + Section->PointerToRawData, RawBytes);
  }

  Image.Base = reinterpret_cast<uint64_t>(Destination);
  Image.Size = Optional.SizeOfImage;
  Image.EntryPoint = Image.Base + Optional.AddressOfEntryPoint;
  Image.LinkedBase = Optional.ImageBase;
  Image.Sections = Nt->File.NumberOfSections;
  Image.Relocations = 0;
  Image.CertificateBytes = 0;
  if (Optional.NumberOfRvaAndSizes > PeImage::DIRECTORY_CERTIFICATE_TABLE &&
      Optional.Directories[PeImage::DIRECTORY_CERTIFICATE_TABLE].Size != 0) {
    const PeImage::DataDirectory& Table =
        Optional.Directories[PeImage::DIRECTORY_CERTIFICATE_TABLE];
    if (const char* Problem = CheckCertificateTable(File, FileSize, Table)) {
      return Problem;
    }
    Image.CertificateBytes = Table.Size;
  }
  if (Optional.NumberOfRvaAndSizes > PeImage::DIRECTORY_BASE_RELOCATION &&
      Optional.Directories[PeImage::DIRECTORY_BASE_RELOCATION].Size != 0) {
    return ApplyRelocations(Optional.Directories[PeImage::DIRECTORY_BASE_RELOCATION], Destination,
                            Optional.SizeOfImage, Image.Base - Optional.ImageBase,
                            Image.Relocations);
  }
  if (Image.Base != Optional.ImageBase &&
      (Nt->File.Characteristics & PeImage::FILE_RELOCS_STRIPPED)) {
    return "image has its relocations stripped and cannot run away from its linked base";
  }
  return nullptr;
}

} // namespace PeLoader
