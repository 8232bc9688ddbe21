// FirmwareFilePackager IMAGE.efi FILE_GUID UI_NAME OUTPUT_STEM
// FirmwareFilePackager --insert VOLUME.fv FILE.ffs OUTPUT.fv
// FirmwareFilePackager --empty-volume BLOCKS OUTPUT.fv
//
// Packs a PE32+ EFI boot-service driver into OUTPUT_STEM.depex (its dependency expression),
// OUTPUT_STEM.ffs (a DXE driver file named FILE_GUID, 8-4-4-4-12 hex digits) and OUTPUT_STEM.fv
// (a firmware volume holding that file). It writes all three or, refusing an input or failing to
// write, none: files of those names that were there before stay as they were.
//
// --insert writes a copy of a platform's FFSv2 volume with the firmware file in its free space,
// the rest unchanged; --empty-volume an FFSv2 volume of BLOCKS 4 KiB blocks to try it on.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "FirmwareFilePackager/FirmwareFiles.h"
#include "FirmwareFilePackager/PeImageCheck.h"

namespace {

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Registry format: the first three groups are the little-endian fields, the last two the bytes.
EFI_GUID ParseGuid(const std::string& Text) {
  constexpr char FORMAT[] = "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";
  bool WellFormed = Text.size() == sizeof(FORMAT) - 1;
  std::string Digits;
  for (UINTN Index = 0; WellFormed && Index < Text.size(); Index++) {
    WellFormed = FORMAT[Index] == '-' ? Text[Index] == '-' : isxdigit(UINT8(Text[Index])) != 0;
    if (FORMAT[Index] != '-') {
      Digits += Text[Index];
    }
  }
  if (!WellFormed) {
    throw Refusal("file GUID '" + Text + "' is not in the form " + FORMAT);
  }
  auto Field = [&](UINTN Start, UINTN Count) {
    return std::stoull(Digits.substr(Start, Count), nullptr, 16);
  };
  EFI_GUID Guid = {UINT32(Field(0, 8)), UINT16(Field(8, 4)), UINT16(Field(12, 4)), {}};
  for (UINTN Index = 0; Index < 8; Index++) {
    Guid.Data4[Index] = UINT8(Field(16 + 2 * Index, 2));
  }
  return Guid;
}

std::u16string Ucs2(const std::string& Text) {
  std::u16string Wide;
  for (char Character : Text) {
    if (UINT8(Character) < 0x20 || UINT8(Character) > 0x7E) {
      throw Refusal("the name '" + Text + "' must be printable ASCII");
    }
    Wide += char16_t(Character);
  }
  return Wide;
}

Bytes ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    throw Refusal(Path + ": cannot be read");
  }
  return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// Each output goes to a temporary name first; only when every one is complete do they take their
// names. A file already there under a name (not a folder) is kept aside until every new one is in
// place, and a failure at any step puts back what was there: the outputs are all new, or all as
// they were.
void WriteAll(const std::vector<std::pair<std::string, Bytes>>& Outputs) {
  const auto Partial = [](const std::string& Path) { return Path + ".partial"; };
  const auto Earlier = [](const std::string& Path) { return Path + ".earlier"; };
  bool Written = true;
  for (const auto& [Path, Content] : Outputs) {
    std::ofstream Out(Partial(Path), std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Content.data()), std::streamsize(Content.size()));
    Out.close();
    Written = Written && Out.good();
  }
  std::string Failure =
      Written ? "" : "cannot write " + Outputs.front().first + " and the files beside it";
  std::vector<bool> KeptAside; // one for each output in place, in order
  for (const auto& [Path, Content] : Outputs) {
    if (!Failure.empty()) {
      break;
    }
    std::error_code Ignored;
    const std::filesystem::file_status There = std::filesystem::symlink_status(Path, Ignored);
    const bool KeepAside = std::filesystem::exists(There) && !std::filesystem::is_directory(There);
    if (KeepAside && std::rename(Path.c_str(), Earlier(Path).c_str()) != 0) {
      Failure = "cannot move " + Path + " aside (" + std::strerror(errno) + ")";
    } else if (std::rename(Partial(Path).c_str(), Path.c_str()) != 0) {
      Failure = "cannot replace " + Path + " (" + std::strerror(errno) + ")";
      if (KeepAside) {
        std::rename(Earlier(Path).c_str(), Path.c_str());
      }
    } else {
      KeptAside.push_back(KeepAside);
    }
  }
  for (UINTN Index = KeptAside.size(); Index-- > 0;) {
    const std::string& Path = Outputs[Index].first;
    if (Failure.empty()) {
      std::remove(Earlier(Path).c_str());
      continue;
    }
    std::remove(Path.c_str());
    if (KeptAside[Index]) {
      std::rename(Earlier(Path).c_str(), Path.c_str());
    }
  }
  if (!Failure.empty()) {
    for (const auto& [Path, Content] : Outputs) {
      std::remove(Partial(Path).c_str());
    }
    throw Refusal(Failure);
  }
}

constexpr UINTN LARGEST_BLOCK_COUNT = 4096; // a volume of 16 MiB

int VolumeCommand(const std::string& Command, const std::string& First, const std::string& Second,
                  const std::string& Output) {
  try {
    if (Command == "--empty-volume") {
      const UINTN Blocks = std::strtoull(First.c_str(), nullptr, 10);
      if (First.empty() || First.find_first_not_of("0123456789") != std::string::npos ||
          Blocks == 0 || Blocks > LARGEST_BLOCK_COUNT) {
        throw Refusal("'" + First + "' blocks: a volume takes 1 to " +
                      std::to_string(LARGEST_BLOCK_COUNT));
      }
      WriteAll({{Output, EmptyVolume(Blocks)}});
      return 0;
    }
    try {
      WriteAll({{Output, InsertFile(ReadFile(First), ReadFile(Second))}});
    } catch (const std::invalid_argument& Problem) {
      throw Refusal(First + " " + Problem.what());
    }
  } catch (const Refusal& Problem) {
    std::fprintf(stderr, "FirmwareFilePackager: %s; nothing written\n", Problem.what());
    return 1;
  }
  return 0;
}

} // namespace

int main(int ArgumentCount, char** Arguments) {
  const std::string Command = ArgumentCount > 1 ? Arguments[1] : "";
  if ((Command == "--insert" && ArgumentCount == 5) ||
      (Command == "--empty-volume" && ArgumentCount == 4)) {
    return VolumeCommand(Command, Arguments[2], ArgumentCount == 5 ? Arguments[3] : "",
                         Arguments[ArgumentCount - 1]);
  }
  if (ArgumentCount != 5 || Command.rfind("--", 0) == 0) {
    std::fprintf(stderr, "usage: FirmwareFilePackager IMAGE.efi FILE_GUID UI_NAME OUTPUT_STEM\n"
                         "       FirmwareFilePackager --insert VOLUME.fv FILE.ffs OUTPUT.fv\n"
                         "       FirmwareFilePackager --empty-volume BLOCKS OUTPUT.fv\n");
    return 2;
  }
  const std::string ImagePath = Arguments[1];
  const std::string Stem = Arguments[4];
  try {
    const EFI_GUID FileName = ParseGuid(Arguments[2]);
    const std::u16string UiName = Ucs2(Arguments[3]);
    const Bytes Image = ReadFile(ImagePath);
    if (const std::string Problem = ProblemWithBootServiceDriver(Image); !Problem.empty()) {
      throw Refusal(ImagePath + ": " + Problem);
    }
    const Bytes Depex = DriverDependencyExpression();
    Bytes File;
    try {
      File = DriverFile(FileName, Depex, Image, UiName);
    } catch (const std::length_error& TooLarge) {
      throw Refusal(ImagePath + " (" + std::to_string(Image.size()) +
                    " bytes) is too large: " + TooLarge.what());
    }
    WriteAll(
        {{Stem + ".depex", Depex}, {Stem + ".ffs", File}, {Stem + ".fv", FirmwareVolume(File)}});
  } catch (const Refusal& Problem) {
    std::fprintf(stderr, "FirmwareFilePackager: %s; nothing written\n", Problem.what());
    return 1;
  }
  return 0;
}
