// Local APIC register access. Other firmware may switch the local APIC between xAPIC and x2APIC
// mode, or move its page, at any time, so the mode and base are read from the processor at every
// access and never kept.
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BaseIoLibIntrinsic/IoLib.h"
#include "Library/SerialDebugLib/SerialDebugLib.h"

namespace {
constexpr UINT32 CPUID_VERSION_INFO = 1;
// EAX of leaf 1: bits 8-11 are the family field; the extended family is not consulted.
constexpr UINT32 CPUID_FAMILY_FIELD_MASK = 0xF00;
constexpr UINT32 CPUID_FAMILY_SHIFT = 8;
// Families 4 and 5 have a local APIC at the default base but no APIC base MSR.
constexpr UINT32 FIRST_FAMILY_WITHOUT_BASE_MSR = 4;
constexpr UINT32 FAMILIES_WITHOUT_BASE_MSR = 2;

constexpr UINT32 MSR_IA32_APIC_BASE = 0x1B;
constexpr UINT64 APIC_BASE_FLAGS_MASK = 0xFFF;
constexpr UINT64 DEFAULT_APIC_BASE = 0xFEE00000;

// In x2APIC mode the register at xAPIC offset N is MSR 0x800 + N / 16.
constexpr UINT32 X2APIC_MSR_BASE = 0x800;
constexpr UINT32 X2APIC_OFFSET_SHIFT = 4;

union APIC_BASE_MSR {
  struct {
    UINT64 Reserved0 : 8;
    UINT64 BSP : 1; // this is the bootstrap processor
    UINT64 Reserved1 : 1;
    UINT64 EXTD : 1; // x2APIC mode
    UINT64 EN : 1;   // local APIC globally enabled
    UINT64 ApicBase : 52;
  } Bits;
  UINT64 Uint64;
};
static_assert(sizeof(APIC_BASE_MSR) == sizeof(UINT64), "the APIC base MSR is 64 bits");

UINT32 X2ApicMsrIndex(UINT64 MmioOffset) {
  // The low four bits of the offset select nothing in x2APIC mode and are dropped.
  return X2APIC_MSR_BASE + static_cast<UINT32>(MmioOffset >> X2APIC_OFFSET_SHIFT);
}
} // namespace

UINT32 ReadCpuid(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx) {
  const CpuidResult Result = CpuidExecute(Leaf);
  if (Eax != nullptr) {
    *Eax = Result.Eax;
  }
  if (Ebx != nullptr) {
    *Ebx = Result.Ebx;
  }
  if (Ecx != nullptr) {
    *Ecx = Result.Ecx;
  }
  if (Edx != nullptr) {
    *Edx = Result.Edx;
  }
  return Leaf;
}

BOOLEAN ApicBaseMsrUsable() {
  UINT32 VersionEax = 0;
  ReadCpuid(CPUID_VERSION_INFO, &VersionEax, nullptr, nullptr, nullptr);
  const UINT32 Family = (VersionEax & CPUID_FAMILY_FIELD_MASK) >> CPUID_FAMILY_SHIFT;
  // Unsigned, so families below 4 wrap round and count as usable too.
  return (Family - FIRST_FAMILY_WITHOUT_BASE_MSR) >= FAMILIES_WITHOUT_BASE_MSR;
}

UINT64 QueryApicBase() {
  if (!ApicBaseMsrUsable()) {
    return DEFAULT_APIC_BASE;
  }
  // The base may lie above 4 GiB: only the flag bits are cleared.
  return MsrRead(MSR_IA32_APIC_BASE) & ~APIC_BASE_FLAGS_MASK;
}

UINT64 QueryApicMode() {
  if (!ApicBaseMsrUsable()) {
    return LAPIC_MODE_XAPIC;
  }
  APIC_BASE_MSR ApicBaseMsr;
  ApicBaseMsr.Uint64 = MsrRead(MSR_IA32_APIC_BASE);
  ASSERT(ApicBaseMsr.Bits.EN != 0);
  return ApicBaseMsr.Bits.EXTD != 0 ? LAPIC_MODE_X2APIC : LAPIC_MODE_XAPIC;
}

UINT32 ApicRegisterRead(UINT64 MmioOffset) {
  if (QueryApicMode() == LAPIC_MODE_XAPIC) {
    return ReadMmio32(QueryApicBase() + MmioOffset);
  }
  return static_cast<UINT32>(MsrRead(X2ApicMsrIndex(MmioOffset)));
}

VOID ApicRegisterWrite(UINT64 MmioOffset, UINT32 Value) {
  if (QueryApicMode() == LAPIC_MODE_XAPIC) {
    WriteMmio32(QueryApicBase() + MmioOffset, Value);
    return;
  }
  // The report names the offset by its value; writing the missing MSR would fault, so a released
  // report leaves the write out.
  static_assert(XAPIC_DESTINATION_FORMAT_OFFSET == 0x0e0, "offset in the report text");
  ASSERT(MmioOffset != 0x0e0);
  if (MmioOffset == XAPIC_DESTINATION_FORMAT_OFFSET) {
    return;
  }
  // The upper half of every register MSR this driver writes is reserved: always zero.
  MsrWrite(X2ApicMsrIndex(MmioOffset), Value);
}
