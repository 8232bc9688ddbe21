// Reads the built firmware images, the driver and the board check application, and checks what the
// firmware's loader will check: a PE32+ image for x86-64 of its subsystem that loads at any address
// and imports nothing, with sections that firmware with image memory protection can protect. With
// the linker map it also checks the driver's stack guards that only the optimised image shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#ifndef VESK_IMAGE_PATH
#define VESK_IMAGE_PATH ""
#define VESK_DEBUG_IMAGE_PATH ""
#define VESK_BOARD_CHECK_IMAGE_PATH ""
#define VESK_OBJDUMP ""
#endif

namespace {

constexpr uint32_t DOS_NEW_HEADER_OFFSET = 0x3C;
constexpr uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr uint16_t MACHINE_X64 = 0x8664;
constexpr uint16_t FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint16_t SUBSYSTEM_EFI_APPLICATION = 10;
constexpr uint16_t SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;
constexpr uint16_t DLL_NX_COMPAT = 0x0100;
constexpr uint32_t PAGE_SIZE = 4096;
constexpr uint32_t SECTION_MEMORY_EXECUTE = 0x20000000;
constexpr uint32_t SECTION_MEMORY_WRITE = 0x80000000;
constexpr uint32_t IMPORT_DIRECTORY = 1;
constexpr uint32_t BASE_RELOCATION_DIRECTORY = 5;
constexpr uint16_t RELOCATION_ABSOLUTE = 0; // padding
constexpr uint16_t RELOCATION_DIR64 = 10;

// Offsets inside the PE32+ optional header.
constexpr uint32_t OPT_ENTRY_POINT = 16;
constexpr uint32_t OPT_IMAGE_BASE = 24;
constexpr uint32_t OPT_SECTION_ALIGNMENT = 32;
constexpr uint32_t OPT_SUBSYSTEM = 68;
constexpr uint32_t OPT_DLL_CHARACTERISTICS = 70;
constexpr uint32_t OPT_DIRECTORY_COUNT = 108;
constexpr uint32_t OPT_DIRECTORIES = 112;

struct Section {
  uint32_t VirtualAddress;
  uint32_t VirtualSize;
  uint32_t RawOffset;
  uint32_t RawSize;
  uint32_t Characteristics;
};

// An image the build makes: where it is, the subsystem it must have, and the most it may take on
// disk (0: no limit).
struct ImageKind {
  const char* Name;
  const char* Path;
  uint16_t Subsystem;
  size_t LargestFile;
};
void PrintTo(const ImageKind& Kind, std::ostream* Stream) {
  *Stream << Kind.Name;
}
const ImageKind DRIVER = {"Driver", VESK_IMAGE_PATH, SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER, 0};
const ImageKind BOARD_CHECK = {"BoardCheck", VESK_BOARD_CHECK_IMAGE_PATH, SUBSYSTEM_EFI_APPLICATION,
                               20 * 1024};

class FirmwareImageFile : public ::testing::Test {
protected:
  std::vector<uint8_t> Bytes;
  uint32_t Pe = 0;
  uint32_t Optional = 0;
  std::vector<Section> Sections;

  void LoadImage(const ImageKind& Kind) {
    if (std::strlen(Kind.Path) == 0) {
      GTEST_SKIP() << "this build does not make the firmware images";
    }
    Load(Kind.Path);
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
                          Read<uint32_t>(Header + 20), Read<uint32_t>(Header + 16),
                          Read<uint32_t>(Header + 36)});
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

// Each image the build makes, for the checks both must pass.
class FirmwareImage : public FirmwareImageFile, public ::testing::WithParamInterface<ImageKind> {
protected:
  void SetUp() override { LoadImage(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Images, FirmwareImage, ::testing::Values(DRIVER, BOARD_CHECK),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// The driver's image with its debug file and linker map.
class DriverImage : public FirmwareImageFile {
protected:
  void SetUp() override { LoadImage(DRIVER); }
};

TEST_P(FirmwareImage, IsAnX64ImageOfItsSubsystemLinkedAtZero) {
  EXPECT_EQ(Read<uint16_t>(Pe + 4), MACHINE_X64);
  EXPECT_EQ(Read<uint16_t>(Optional), OPTIONAL_MAGIC_PE32_PLUS);
  EXPECT_EQ(Read<uint16_t>(Optional + OPT_SUBSYSTEM), GetParam().Subsystem);
  EXPECT_EQ(Read<uint64_t>(Optional + OPT_IMAGE_BASE), 0u);
  EXPECT_NE(FileOffset(Read<uint32_t>(Optional + OPT_ENTRY_POINT)), 0u) << "entry outside sections";
  if (GetParam().LargestFile != 0) {
    EXPECT_LE(Bytes.size(), GetParam().LargestFile);
  }
}

// What firmware with image memory protection needs to map each section with its own rights: pages
// of their own, no page both writable and executable, and the image saying it runs so.
TEST_P(FirmwareImage, SectionsCanBeProtectedPageByPage) {
  EXPECT_EQ(Read<uint32_t>(Optional + OPT_SECTION_ALIGNMENT), PAGE_SIZE);
  EXPECT_NE(Read<uint16_t>(Optional + OPT_DLL_CHARACTERISTICS) & DLL_NX_COMPAT, 0) << "NX_COMPAT";
  ASSERT_FALSE(Sections.empty());
  for (const Section& S : Sections) {
    SCOPED_TRACE("section at " + std::to_string(S.VirtualAddress));
    EXPECT_EQ(S.VirtualAddress % PAGE_SIZE, 0u);
    EXPECT_NE(S.Characteristics & (SECTION_MEMORY_WRITE | SECTION_MEMORY_EXECUTE),
              SECTION_MEMORY_WRITE | SECTION_MEMORY_EXECUTE);
  }
}

TEST_P(FirmwareImage, ImportsNothing) {
  EXPECT_EQ(DirectorySize(IMPORT_DIRECTORY), 0u);
}

// Linked at 0, the image is unusable unless the loader can relocate every absolute address.
TEST_P(FirmwareImage, CarriesWellFormedBaseRelocations) {
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
TEST_F(DriverImage, DebugFileHoldsTheImageBytesAtTheSameAddresses) {
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

// The image carries no symbols: their addresses come from the linker map beside it.
std::map<std::string, uint64_t> MapSymbols() {
  std::string Path = VESK_IMAGE_PATH;
  std::ifstream File(Path.replace(Path.size() - 3, 3, "map"));
  const std::regex Entry(R"(^ 000[12]:[0-9a-f]+ +(\S+) +([0-9a-f]{16}) )");
  std::map<std::string, uint64_t> Symbols;
  std::smatch Match;
  for (std::string Line; std::getline(File, Line);) {
    if (std::regex_search(Line, Match, Entry)) {
      Symbols[Match[1]] = std::stoull(Match[2], nullptr, 16);
    }
  }
  return Symbols;
}

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

// The image's instructions by address, as "mnemonic operands # comment".
std::map<uint64_t, std::string> Disassemble() {
  const std::string Command = std::string(VESK_OBJDUMP) + " -d --no-show-raw-insn " VESK_IMAGE_PATH;
  std::map<uint64_t, std::string> Code;
  FILE* Listing = popen(Command.c_str(), "r");
  char Line[256];
  std::smatch Match;
  while (Listing != nullptr && std::fgets(Line, sizeof(Line), Listing) != nullptr) {
    const std::string Text = std::regex_replace(std::string(Line), std::regex(R"(\s+)"), " ");
    if (std::regex_match(Text, Match, std::regex(R"( ([0-9a-f]+): (.*?) ?)"))) {
      Code[std::stoull(Match[1], nullptr, 16)] = Match[2];
    }
  }
  EXPECT_TRUE(Listing != nullptr && pclose(Listing) == 0) << Command;
  return Code;
}

// The guarded functions copy mStackGuard into a slot of their frame at entry; on the way out they
// compare the slot with it and branch to ReportStackFault when the two differ.
TEST_F(DriverImage, GuardedFunctionsCheckTheirFrameBeforeReturning) {
  const std::map<std::string, uint64_t> Symbols = MapSymbols();
  ASSERT_EQ(Symbols.count("__stack_chk_guard") + Symbols.count("__stack_chk_fail"), 2u);
  const std::regex GuardLoad(R"(movq -?\d+\(%rip\), %(\w+) # )" +
                             Hex(Symbols.at("__stack_chk_guard")));
  const std::string FaultCall = "callq " + Hex(Symbols.at("__stack_chk_fail"));
  const std::string FrameSlot = R"((\d+)\(%rsp\))";
  const std::map<uint64_t, std::string> Code = Disassemble();
  // A function ends where the next symbol starts; the data lies above the code, so there always is
  // a next one.
  std::set<uint64_t> Starts;
  for (const auto& Symbol : Symbols) {
    Starts.insert(Symbol.second);
  }
  for (const char* Function :
       {"_Z14FormatTextListPcmPKcS_", "_Z10FormatTextPcmPKcz", "_Z15ReportAssertionPKcmS0_",
        "_Z16EmitDebugMessagejPKcz", "LapicTimerDriverEntry"}) {
    SCOPED_TRACE(Function);
    ASSERT_EQ(Symbols.count(Function), 1u);
    const auto End = Code.lower_bound(*Starts.upper_bound(Symbols.at(Function)));
    std::set<std::string> Slots;
    bool Checked = false;
    std::smatch Load;
    std::smatch Use;
    for (auto At = Code.lower_bound(Symbols.at(Function)); At != End; ++At) {
      auto Next = std::next(At);
      if (Next == End || !std::regex_match(At->second, Load, GuardLoad)) {
        continue;
      }
      if (std::regex_match(Next->second, Use,
                           std::regex("movq %" + Load[1].str() + ", " + FrameSlot))) {
        Slots.insert(Use[1]);
      } else if (std::regex_match(Next->second, Use,
                                  std::regex("cmpq " + FrameSlot + ", %" + Load[1].str())) &&
                 Slots.count(Use[1]) != 0 && ++Next != End &&
                 std::regex_match(Next->second, Use, std::regex("jne 0x([0-9a-f]+) .*"))) {
        const auto Target = Code.find(std::stoull(Use[1], nullptr, 16));
        Checked |= Target != Code.end() && Target->second.rfind(FaultCall, 0) == 0;
      }
    }
    EXPECT_FALSE(Slots.empty()) << "the guard value is never copied into the frame";
    EXPECT_TRUE(Checked) << "no comparison of the guard slot leads to ReportStackFault";
  }
}

} // namespace
