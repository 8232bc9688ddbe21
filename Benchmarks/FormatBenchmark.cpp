// The format engine against glibc snprintf and stb_sprintf on short driver-style messages that all
// three render to the same bytes, and the engine alone on its firmware conversions.
#include "Library/BasePrintLib/PrintLib.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define STB_SPRINTF_IMPLEMENTATION
#include <stb/stb_sprintf.h>

namespace {

constexpr size_t MESSAGE_SIZE = 256;

// Our engine prints 1-byte text with %a where the C library uses %s; everything else is spelled
// alike in the three formats.
#define MESSAGE_KINDS(X)                                                                           \
  X(Decimal, "Tick %d of %5d, drift %-5d, slot %05d, step %+d",                                    \
    "Tick %d of %5d, drift %-5d, slot %05d, step %+d", 12345, 42, -7, 42, 3)                       \
  X(Precision, "Deadline %.3d/%8.3d ticks", "Deadline %.3d/%8.3d ticks", 42, 7)                    \
  X(Hex, "LVT %08X APIC %X EOI %X", "LVT %08X APIC %X EOI %X", 0x50040u, 0xFEE00000u, 0xB0u)       \
  X(Unsigned32, "Count %u", "Count %u", 4294967295u)                                               \
  X(Unsigned64, "Count %lu", "Count %lu", 18446744073709551615ul)                                  \
  X(Hex64, "Deadline %lX", "Deadline %lX", 0x123456789ABCDEF0ul)                                   \
  X(Text, "Initializing %a %a driver", "Initializing %s %s driver", "LAPIC", "Timer")

// Arguments go to our engine exactly as driver code passes them: each in its own 8-byte slot of
// a variadic call in the firmware calling convention.
#define DEFINE_KIND(Name, OurFormat, LibraryFormat, ...)                                           \
  size_t Ours##Name(char* Buffer) {                                                                \
    return FormatText(Buffer, MESSAGE_SIZE, OurFormat, __VA_ARGS__);                               \
  }                                                                                                \
  size_t Glibc##Name(char* Buffer) {                                                               \
    return std::snprintf(Buffer, MESSAGE_SIZE, LibraryFormat, __VA_ARGS__);                        \
  }                                                                                                \
  size_t Stb##Name(char* Buffer) {                                                                 \
    return stbsp_snprintf(Buffer, MESSAGE_SIZE, LibraryFormat, __VA_ARGS__);                       \
  }

MESSAGE_KINDS(DEFINE_KIND)

using Formatter = size_t (*)(char*);

void Run(benchmark::State& State, Formatter Format) {
  char Buffer[MESSAGE_SIZE];
  for (auto _ : State) {
    benchmark::DoNotOptimize(Format(Buffer));
    benchmark::ClobberMemory();
  }
}

// A benchmark only counts if the three really print the same bytes.
void CheckSameBytes(const char* Kind, Formatter Ours, Formatter Glibc, Formatter Stb) {
  char A[MESSAGE_SIZE];
  char B[MESSAGE_SIZE];
  char C[MESSAGE_SIZE];
  size_t CountA = Ours(A);
  size_t CountB = Glibc(B);
  size_t CountC = Stb(C);
  if (CountA != CountB || CountB != CountC || std::strcmp(A, B) != 0 || std::strcmp(B, C) != 0) {
    std::fprintf(stderr, "%s: outputs differ: '%s' / '%s' / '%s'\n", Kind, A, B, C);
    std::exit(1);
  }
}

const EFI_GUID TimerGuid = {
    0x26BACCB3, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
const EFI_TIME Time = {2024, 3, 7, 9, 5, 0, 0, 0, 0, 0, 0};

size_t OursStatus(char* Buffer) {
  return FormatText(Buffer, MESSAGE_SIZE, "Status = %r", EFI_INVALID_PARAMETER);
}
size_t OursGuid(char* Buffer) {
  return FormatText(Buffer, MESSAGE_SIZE, "Protocol %g", reinterpret_cast<UINTN>(&TimerGuid));
}
size_t OursTime(char* Buffer) {
  return FormatText(Buffer, MESSAGE_SIZE, "Built %t", reinterpret_cast<UINTN>(&Time));
}

} // namespace

int main(int argc, char** argv) {
#define REGISTER_KIND(Name, ...)                                                                   \
  CheckSameBytes(#Name, Ours##Name, Glibc##Name, Stb##Name);                                       \
  benchmark::RegisterBenchmark("Ours/" #Name, Run, Ours##Name);                                    \
  benchmark::RegisterBenchmark("Glibc/" #Name, Run, Glibc##Name);                                  \
  benchmark::RegisterBenchmark("Stb/" #Name, Run, Stb##Name);
  MESSAGE_KINDS(REGISTER_KIND)
  benchmark::RegisterBenchmark("Ours/Status", Run, OursStatus);
  benchmark::RegisterBenchmark("Ours/Guid", Run, OursGuid);
  benchmark::RegisterBenchmark("Ours/Time", Run, OursTime);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
