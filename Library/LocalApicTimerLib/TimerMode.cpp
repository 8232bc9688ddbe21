#include "Library/LocalApicTimerLib/TimerMode.h"

#include "HardwareAccess/HardwareAccess.h"

namespace {
constexpr UINT32 CPUID_VENDOR_LEAF = 0x0;
constexpr UINT32 CPUID_VERSION_LEAF = 0x1;

// "GenuineIntel" in EBX, EDX, ECX of leaf 0.
constexpr UINT32 INTEL_EBX = 0x756E6547;
constexpr UINT32 INTEL_EDX = 0x49656E69;
constexpr UINT32 INTEL_ECX = 0x6C65746E;

// Leaf 1, EAX: the signature.
constexpr UINT32 STEPPING_BITS = 0xF;
constexpr UINT32 MODEL_SHIFT = 4;
constexpr UINT32 FAMILY_SHIFT = 8;
constexpr UINT32 EXTENDED_MODEL_SHIFT = 16;
constexpr UINT32 EXTENDED_FAMILY_SHIFT = 20;
constexpr UINT32 FIELD_4_BITS = 0xF;
constexpr UINT32 FIELD_8_BITS = 0xFF;
constexpr UINT32 FAMILY_WITH_EXTENDED_FAMILY = 0xF;
constexpr UINT32 FAMILY_WITH_EXTENDED_MODEL = 0x6;
// Leaf 1, ECX.
constexpr UINT32 LEAF1_ECX_TSC_DEADLINE = 1u << 24;
constexpr UINT32 LEAF1_ECX_HYPERVISOR = 1u << 31;

// Writing 0, then CPUID leaf 1, loads the revision of the running microcode into the high half.
constexpr UINT32 MSR_BIOS_SIGN_ID = 0x8B;
constexpr UINT32 MICROCODE_SHIFT = 32;

constexpr UINT32 INTEL_CORE_FAMILY = 6;

// Intel family 6 processors whose local APIC timer misses TSC deadlines below a microcode
// revision. A row covers the steppings First..Last; a model that has rows, but none for the
// stepping at hand, is of unknown status. A minimum of 0 marks steppings made without the fault.
struct ErrataRow {
  UINT8 Model;
  UINT8 FirstStepping;
  UINT8 LastStepping;
  UINT32 MinimumRevision;
};
constexpr UINT8 ANY = 0xF; // the stepping field is four bits

constexpr ErrataRow ERRATA_ROWS[] = {
    {0x3F, 2, 2, 0x3A},         // Haswell server, EP
    {0x3F, 4, 4, 0x0F},         // Haswell server, EX
    {0x4F, 0, ANY, 0x0B000020}, // Broadwell server
    {0x56, 2, 2, 0x00000011},   // Broadwell D
    {0x56, 3, 3, 0x0700000E},   // Broadwell D
    {0x56, 4, 4, 0x0F00000C},   // Broadwell D
    {0x56, 5, 5, 0x0E000003},   // Broadwell D
    {0x55, 3, 3, 0x01000136},   // Skylake server
    {0x55, 4, 4, 0x02000014},   // Skylake server
    {0x55, 5, ANY, 0},          // Skylake server and its successors on the model
    {0x3C, 0, ANY, 0x22},       // Haswell client
    {0x45, 0, ANY, 0x20},       // Haswell mobile
    {0x46, 0, ANY, 0x17},       // Haswell with GT3e
    {0x3D, 0, ANY, 0x25},       // Broadwell client
    {0x47, 0, ANY, 0x17},       // Broadwell with GT3e
    {0x4E, 0, ANY, 0xB2},       // Skylake mobile
    {0x5E, 0, ANY, 0xB2},       // Skylake desktop
    {0x8E, 0, ANY, 0x52},       // Kaby Lake mobile
    {0x9E, 0, ANY, 0x52},       // Kaby Lake desktop
};
} // namespace

CpuIdentity ReadCpuIdentity() {
  CpuIdentity Cpu = {};
  const CpuidResult Vendor = CpuidExecute(CPUID_VENDOR_LEAF);
  Cpu.Intel = Vendor.Ebx == INTEL_EBX && Vendor.Edx == INTEL_EDX && Vendor.Ecx == INTEL_ECX;

  const CpuidResult Version = CpuidExecute(CPUID_VERSION_LEAF);
  const UINT32 BaseFamily = (Version.Eax >> FAMILY_SHIFT) & FIELD_4_BITS;
  Cpu.Family = BaseFamily;
  if (BaseFamily == FAMILY_WITH_EXTENDED_FAMILY) {
    Cpu.Family += (Version.Eax >> EXTENDED_FAMILY_SHIFT) & FIELD_8_BITS;
  }
  Cpu.Model = (Version.Eax >> MODEL_SHIFT) & FIELD_4_BITS;
  if (BaseFamily == FAMILY_WITH_EXTENDED_MODEL || BaseFamily == FAMILY_WITH_EXTENDED_FAMILY) {
    Cpu.Model += ((Version.Eax >> EXTENDED_MODEL_SHIFT) & FIELD_4_BITS) << 4;
  }
  Cpu.Stepping = Version.Eax & STEPPING_BITS;
  Cpu.Hypervisor = (Version.Ecx & LEAF1_ECX_HYPERVISOR) != 0;
  Cpu.TscDeadline = (Version.Ecx & LEAF1_ECX_TSC_DEADLINE) != 0;

  // Under a hypervisor the register is the hypervisor's to answer, if it lets the write through.
  Cpu.MicrocodeRead = Cpu.Intel && !Cpu.Hypervisor;
  if (Cpu.MicrocodeRead) {
    MsrWrite(MSR_BIOS_SIGN_ID, 0);
    CpuidExecute(CPUID_VERSION_LEAF);
    Cpu.Microcode = static_cast<UINT32>(MsrRead(MSR_BIOS_SIGN_ID) >> MICROCODE_SHIFT);
  }
  return Cpu;
}

ErrataFinding CheckDeadlineErrata(const CpuIdentity& Cpu) {
  if (!Cpu.Intel || !Cpu.MicrocodeRead) {
    return {ErrataStatus::NotApplicable, 0};
  }
  if (Cpu.Family != INTEL_CORE_FAMILY) {
    return {ErrataStatus::NotListed, 0};
  }
  BOOLEAN ModelListed = FALSE;
  for (const ErrataRow& Row : ERRATA_ROWS) {
    if (Row.Model != Cpu.Model) {
      continue;
    }
    ModelListed = TRUE;
    if (Cpu.Stepping < Row.FirstStepping || Cpu.Stepping > Row.LastStepping) {
      continue;
    }
    if (Row.MinimumRevision == 0) {
      return {ErrataStatus::NotListed, 0};
    }
    return {Cpu.Microcode >= Row.MinimumRevision ? ErrataStatus::Fixed : ErrataStatus::BelowMinimum,
            Row.MinimumRevision};
  }
  return {ModelListed ? ErrataStatus::UnknownStepping : ErrataStatus::NotListed, 0};
}

TimerModeChoice ChooseTimerMode(TimerModeSetting Setting, const CpuIdentity& Cpu) {
  const ErrataFinding Errata = CheckDeadlineErrata(Cpu);
  if (Setting == TimerModeSetting::OneShot) {
    return {LapicTimerMode::OneShot, TimerModeReason::BuildAsks, Errata};
  }
  if (!Cpu.TscDeadline) {
    return {Setting == TimerModeSetting::Auto ? LapicTimerMode::OneShot
                                              : LapicTimerMode::TscDeadline,
            TimerModeReason::NoTscDeadline, Errata};
  }
  if (Setting == TimerModeSetting::TscDeadline) {
    return {LapicTimerMode::TscDeadline, TimerModeReason::BuildAsks, Errata};
  }
  if (Errata.Status == ErrataStatus::BelowMinimum) {
    return {LapicTimerMode::OneShot, TimerModeReason::Erratum, Errata};
  }
  return {LapicTimerMode::TscDeadline,
          Cpu.Hypervisor ? TimerModeReason::Hypervisor : TimerModeReason::NoErratum, Errata};
}
