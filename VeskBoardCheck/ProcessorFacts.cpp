#include "VeskBoardCheck/ProcessorFacts.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

namespace {
constexpr UINT32 CPUID_VENDOR_LEAF = 0x0;
constexpr UINT32 CPUID_VERSION_LEAF = 0x1;
constexpr UINT32 CPUID_THERMAL_POWER_LEAF = 0x6;
constexpr UINT32 CPUID_TSC_CRYSTAL_LEAF = 0x15;
constexpr UINT32 CPUID_FREQUENCY_LEAF = 0x16;
constexpr UINT32 CPUID_EXTENDED_LEAF_COUNT = 0x80000000;
constexpr UINT32 CPUID_POWER_MANAGEMENT_LEAF = 0x80000007;
// Leaf 1, ECX.
constexpr UINT32 LEAF1_ECX_X2APIC = 1u << 21;
// Leaf 6, EAX: the APIC timer runs in every C-state.
constexpr UINT32 LEAF6_EAX_ARAT = 1u << 2;
// Leaf 0x80000007, EDX: the TSC runs at one rate in every P-, C- and T-state.
constexpr UINT32 POWER_EDX_INVARIANT_TSC = 1u << 8;
// Leaf 0x16, EAX: the base frequency in MHz.
constexpr UINT32 LEAF16_MHZ_BITS = 0xFFFF;
constexpr UINT64 HZ_PER_MHZ = 1000000;

// "AuthenticAMD" in EBX of leaf 0 ("Auth"), with EDX and ECX ("enti", "cAMD").
constexpr UINT32 AMD_EBX = 0x68747541;
constexpr UINT32 AMD_EDX = 0x69746E65;
constexpr UINT32 AMD_ECX = 0x444D4163;
constexpr UINT32 MSR_PATCH_LEVEL = 0x8B;

constexpr UINT32 MSR_APIC_BASE = 0x1B;
constexpr UINT64 APIC_BASE_X2APIC_MODE = 1ULL << 10;
constexpr UINT64 APIC_BASE_ENABLED = 1ULL << 11;

void CopyVendor(const CpuidResult& Leaf0, CHAR8* Vendor) {
  const UINT32 Words[] = {Leaf0.Ebx, Leaf0.Edx, Leaf0.Ecx};
  for (UINT32 Index = 0; Index < 12; ++Index) {
    Vendor[Index] = static_cast<CHAR8>(Words[Index / 4] >> (8 * (Index % 4)));
  }
  Vendor[12] = 0;
}
} // namespace

VOID ReadProcessorFacts(ProcessorFacts* Facts) {
  const CpuidResult Leaf0 = CpuidExecute(CPUID_VENDOR_LEAF);
  CopyVendor(Leaf0, Facts->Vendor);
  const UINT32 LargestLeaf = Leaf0.Eax;
  const UINT32 LargestExtendedLeaf = CpuidExecute(CPUID_EXTENDED_LEAF_COUNT).Eax;
  Facts->Identity = ReadCpuIdentity();
  Facts->MicrocodeRead = Facts->Identity.MicrocodeRead;
  Facts->Microcode = Facts->Identity.Microcode;
  if (Leaf0.Ebx == AMD_EBX && Leaf0.Edx == AMD_EDX && Leaf0.Ecx == AMD_ECX &&
      !Facts->Identity.Hypervisor) {
    Facts->MicrocodeRead = TRUE;
    Facts->Microcode = static_cast<UINT32>(MsrRead(MSR_PATCH_LEVEL));
  }
  Facts->X2Apic = (CpuidExecute(CPUID_VERSION_LEAF).Ecx & LEAF1_ECX_X2APIC) != 0;

  // A leaf beyond the largest answers with another leaf's values: only the listed ones are read.
  Facts->Arat = LargestLeaf >= CPUID_THERMAL_POWER_LEAF &&
                (CpuidExecute(CPUID_THERMAL_POWER_LEAF).Eax & LEAF6_EAX_ARAT) != 0;
  Facts->Cpuid15Hz = 0;
  if (LargestLeaf >= CPUID_TSC_CRYSTAL_LEAF) {
    const CpuidResult Crystal = CpuidExecute(CPUID_TSC_CRYSTAL_LEAF);
    if (Crystal.Eax != 0 && Crystal.Ebx != 0 && Crystal.Ecx != 0) {
      Facts->Cpuid15Hz = static_cast<UINT64>(Crystal.Ecx) * Crystal.Ebx / Crystal.Eax;
    }
  }
  Facts->Cpuid16Hz = LargestLeaf >= CPUID_FREQUENCY_LEAF
                         ? (CpuidExecute(CPUID_FREQUENCY_LEAF).Eax & LEAF16_MHZ_BITS) * HZ_PER_MHZ
                         : 0;
  Facts->InvariantTsc =
      LargestExtendedLeaf >= CPUID_POWER_MANAGEMENT_LEAF &&
      (CpuidExecute(CPUID_POWER_MANAGEMENT_LEAF).Edx & POWER_EDX_INVARIANT_TSC) != 0;
}

// The library asserts on a disabled APIC; this asks the base register itself first.
ApicModeNow ReadApicMode() {
  if (!ApicBaseMsrUsable()) {
    return ApicModeNow::XApic;
  }
  const UINT64 Base = MsrRead(MSR_APIC_BASE);
  if ((Base & APIC_BASE_ENABLED) == 0) {
    return ApicModeNow::Disabled;
  }
  return (Base & APIC_BASE_X2APIC_MODE) != 0 ? ApicModeNow::X2Apic : ApicModeNow::XApic;
}
