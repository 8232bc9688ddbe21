#include "Core/ProcessorFacts.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"

namespace ProcessorFacts {
namespace {

// A leaf beyond the highest answers with another leaf's values: it is not reported.
void ReportLeaf(const char* Key, uint32_t Leaf, uint32_t MaxLeaf) {
  if (Leaf > MaxLeaf) {
    return;
  }
  const Cpu::CpuidResult Answer = Cpu::Cpuid(Leaf);
  Console::BeginLine();
  Console::Write(Key);
  const uint32_t Registers[] = {Answer.Eax, Answer.Ebx, Answer.Ecx, Answer.Edx};
  char Separator = '=';
  for (const uint32_t Register : Registers) {
    Console::Put(Separator);
    Console::WriteHex(Register, 8);
    Separator = ' ';
  }
  Console::EndLine();
}

} // namespace

void Report() {
  const uint32_t MaxLeaf = Cpu::Cpuid(Cpu::CPUID_MAX_LEAF).Eax;
  const Cpu::CpuidResult Features = Cpu::Cpuid(Cpu::CPUID_FEATURES);
  Console::FactHex("cpuid-max-leaf", MaxLeaf);
  Console::FactHex("cpuid-1-eax", Features.Eax);
  Console::FactHex("cpuid-1-ecx", Features.Ecx);
  ReportLeaf("cpuid-6", Cpu::CPUID_THERMAL_POWER, MaxLeaf);
  ReportLeaf("cpuid-15", Cpu::CPUID_TSC_CRYSTAL, MaxLeaf);
  ReportLeaf("cpuid-16", Cpu::CPUID_FREQUENCY, MaxLeaf);
  Console::FactHex("cpuid-80000007-edx", Cpu::Cpuid(Cpu::CPUID_ADVANCED_POWER).Edx);
  Cpu::WriteMsr(Cpu::MSR_BIOS_SIGN_ID, 0); // the revision is latched by the next CPUID leaf 1
  Cpu::Cpuid(Cpu::CPUID_FEATURES);
  Console::FactHex("cpu-microcode", Cpu::ReadMsr(Cpu::MSR_BIOS_SIGN_ID) >> 32);
}

} // namespace ProcessorFacts
