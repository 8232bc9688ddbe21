// Reads the built firmware image and checks what the firmware's loader will check: a PE32+ image
// for x86-64 that loads as a boot-service driver at any address and imports nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#ifndef VESK_IMAGE_PATH
#define VESK_IMAGE_PATH ""
#define VESK_DEBUG_IMAGE_PATH ""
#endif

namespace {

constexpr uint32_t DOS_NEW_HEADER_OFFSET = 0x3C;
constexpr uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr uint16_t MACHINE_X64 = 0x8664;
constexpr uint16_t FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint16_t SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;
constexpr uint32_t IMPORT_DIRECTORY = 1;
constexpr uint32_t BASE_RELOCATION_DIRECTORY = 5;
constexpr uint16_t RELOCATION_ABSOLUTE = 0; // padding
constexpr uint16_t RELOCATION_DIR64 = 10;

// Offsets inside the PE32+ optional header.
constexpr uint32_t OPT_ENTRY_POINT = 16;
constexpr uint32_t OPT_IMAGE_BASE = 24;
constexpr uint32_t OPT_SUBSYSTEM = 68;
constexpr uint32_t OPT_DIRECTORY_COUNT = 108;
constexpr uint32_t OPT_DIRECTORIES = 112;

struct Section {
  uint32_t VirtualAddress;
  uint32_t VirtualSize;
  uint32_t RawOffset;
  uint32_t RawSize;
};

class FirmwareImage : public ::testing::Test {
protected:
  std::vector<uint8_t> Bytes;
  uint32_t Pe = 0;
  uint32_t Optional = 0;
  std::vector<Section> Sections;

  void SetUp() override {
    if (std::strlen(VESK_IMAGE_PATH) == 0) {
      GTEST_SKIP() << "this build does not make the firmware image";
    }
    Load(VESK_IMAGE_PATH);
  }

  void Load(const char* Path) {
    std::ifstream File(Path, std::ios::binary);
    ASSERT_TRUE(File) << "missing " << Path;
    Bytes.assign(std::istreambuf_iterator<char>(File), {});
    Sections.clear();
    ASSERT_GT(Bytes.size(), 0x200u);
    Pe = Read<uint32_t>(DOS_NEW_HEADER_OFFSET);
    ASSERT_EQ(Read<uint32_t>(Pe), PE_SIGNATURE);
    Optional = Pe + 24;
    uint16_t SectionCount = Read<uint16_t>(Pe + 6);
    uint32_t SectionTable = Optional + Read<uint16_t>(Pe + 20);
    for (uint16_t Index = 0; Index < SectionCount; ++Index) {
      uint32_t Header = SectionTable + Index * 40u;
      Sections.push_back({Read<uint32_t>(Header + 12), Read<uint32_t>(Header + 8),
                          Read<uint32_t>(Header + 20), Read<uint32_t>(Header + 16)});
    }
  }

  template <typename T> T Read(uint64_t Offset) const {
    T Value{};
    if (Offset + sizeof(T) <= Bytes.size()) {
      std::memcpy(&Value, Bytes.data() + Offset, sizeof(T));
    } else {
      ADD_FAILURE() << "read past the end of the image at " << Offset;
    }
    return Value;
  }

  uint32_t DirectoryRva(uint32_t Index) const {
    return Read<uint32_t>(Optional + OPT_DIRECTORIES + Index * 8);
  }
  uint32_t DirectorySize(uint32_t Index) const {
    return Index < Read<uint32_t>(Optional + OPT_DIRECTORY_COUNT)
               ? Read<uint32_t>(Optional + OPT_DIRECTORIES + Index * 8 + 4)
               : 0;
  }

  // File offset of an RVA, or 0 when no section holds it.
  uint64_t FileOffset(uint32_t Rva) const {
    for (const Section& S : Sections) {
      if (Rva >= S.VirtualAddress && Rva < S.VirtualAddress + S.RawSize) {
        return S.RawOffset + (Rva - S.VirtualAddress);
      }
    }
    return 0;
  }
};

TEST_F(FirmwareImage, IsAnX64BootServiceDriverLinkedAtZero) {
  EXPECT_EQ(Read<uint16_t>(Pe + 4), MACHINE_X64);
  EXPECT_EQ(Read<uint16_t>(Optional), OPTIONAL_MAGIC_PE32_PLUS);
  EXPECT_EQ(Read<uint16_t>(Optional + OPT_SUBSYSTEM), SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
  EXPECT_EQ(Read<uint64_t>(Optional + OPT_IMAGE_BASE), 0u);
  EXPECT_NE(FileOffset(Read<uint32_t>(Optional + OPT_ENTRY_POINT)), 0u) << "entry outside sections";
}

TEST_F(FirmwareImage, ImportsNothing) {
  EXPECT_EQ(DirectorySize(IMPORT_DIRECTORY), 0u);
}

// Linked at 0, the image is unusable unless the loader can relocate every absolute address.
TEST_F(FirmwareImage, CarriesWellFormedBaseRelocations) {
  EXPECT_EQ(Read<uint16_t>(Pe + 22) & FILE_RELOCS_STRIPPED, 0);
  uint32_t Size = DirectorySize(BASE_RELOCATION_DIRECTORY);
  ASSERT_GT(Size, 0u);
  uint64_t Block = FileOffset(DirectoryRva(BASE_RELOCATION_DIRECTORY));
  ASSERT_NE(Block, 0u);
  uint64_t End = Block + Size;
  size_t Fixups = 0;
  while (Block < End) {
    uint32_t PageRva = Read<uint32_t>(Block);
    uint32_t BlockSize = Read<uint32_t>(Block + 4);
    ASSERT_GE(BlockSize, 8u);
    ASSERT_LE(Block + BlockSize, End);
    for (uint64_t Entry = Block + 8; Entry < Block + BlockSize; Entry += 2) {
      uint16_t Fixup = Read<uint16_t>(Entry);
      uint16_t Type = Fixup >> 12;
      ASSERT_TRUE(Type == RELOCATION_DIR64 || Type == RELOCATION_ABSOLUTE) << "type " << Type;
      if (Type == RELOCATION_DIR64) {
        EXPECT_NE(FileOffset(PageRva + (Fixup & 0xFFF)), 0u) << "fixup outside sections";
        ++Fixups;
      }
    }
    Block += BlockSize;
  }
  EXPECT_GT(Fixups, 0u);
}

// The debug file is the same objects linked once more with their DWARF sections. Its code and data
// must be the image's, byte for byte at the same addresses, or every place it resolves is wrong.
TEST_F(FirmwareImage, DebugFileHoldsTheImageBytesAtTheSameAddresses) {
  const std::vector<uint8_t> Image = Bytes;
  const std::vector<Section> ImageSections = Sections;
  ASSERT_NO_FATAL_FAILURE(Load(VESK_DEBUG_IMAGE_PATH));
  ASSERT_GE(Sections.size(), ImageSections.size());
  for (size_t Index = 0; Index < ImageSections.size(); ++Index) {
    const Section& Shipped = ImageSections[Index];
    EXPECT_EQ(Sections[Index].VirtualAddress, Shipped.VirtualAddress) << "section " << Index;
    const uint32_t Content = std::min(Shipped.VirtualSize, Shipped.RawSize);
    const uint64_t Offset = FileOffset(Shipped.VirtualAddress);
    ASSERT_LE(Offset + Content, Bytes.size()) << "section " << Index;
    EXPECT_TRUE(std::equal(Image.begin() + Shipped.RawOffset,
                           Image.begin() + Shipped.RawOffset + Content, Bytes.begin() + Offset))
        << "section " << Index << " differs";
  }
}

} // namespace
