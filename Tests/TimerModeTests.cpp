// The timer mode a build runs in on a processor, as the simulated processor answers CPUID and the
// microcode register: the TSC-deadline errata table at its edges, and the rule that reads it.
#include "MachineTest.h"

#include "Library/BaseLib/BaseLib.h"
#include "Library/LocalApicTimerLib/TimerMode.h"

#include <cstring>
#include <string>

namespace {

constexpr UINT32 CPUID_ECX_TSC_DEADLINE = 1u << 24;
constexpr UINT32 CPUID_ECX_HYPERVISOR = 1u << 31;
constexpr UINT32 MICROCODE_MSR = 0x8B;

// CPUID leaf 0 of a vendor: the largest leaf, then the name in EBX, EDX, ECX.
void SetVendor(const char* Name) {
  CpuidResult Leaf = {0x16, 0, 0, 0};
  std::memcpy(&Leaf.Ebx, Name, 4);
  std::memcpy(&Leaf.Edx, Name + 4, 4);
  std::memcpy(&Leaf.Ecx, Name + 8, 4);
  Machine().CpuidLeaves[0] = Leaf;
}

using Mode = LapicTimerMode;
using Reason = TimerModeReason;

struct ErrataCase {
  const char* Vendor;
  UINT32 Signature; // CPUID leaf 1 EAX, as the processor reports it
  UINT32 Features;  // CPUID leaf 1 ECX
  UINT32 Microcode;
  ErrataStatus Expected;
  UINT32 Minimum;
  Mode AutoMode; // what a build with VESK_TIMER_MODE=auto runs in
  Reason AutoReason;
};

class TimerModeTest : public MachineTest {};

TEST_F(TimerModeTest, ErrataTableAtItsEdgesAndTheModeAnAutoBuildTakes) {
  constexpr UINT32 DEADLINE = CPUID_ECX_TSC_DEADLINE;
  const ErrataCase Cases[] = {
      {"GenuineIntel", 0x50654, DEADLINE, 0x2000013, ErrataStatus::BelowMinimum, 0x2000014,
       Mode::OneShot, Reason::Erratum},
      {"GenuineIntel", 0x50654, DEADLINE, 0x2000014, ErrataStatus::Fixed, 0x2000014,
       Mode::TscDeadline, Reason::NoErratum},
      {"GenuineIntel", 0x50653, DEADLINE, 0x1000135, ErrataStatus::BelowMinimum, 0x1000136,
       Mode::OneShot, Reason::Erratum},
      {"GenuineIntel", 0x50652, DEADLINE, 0, ErrataStatus::UnknownStepping, 0, Mode::TscDeadline,
       Reason::NoErratum},
      {"GenuineIntel", 0x50657, DEADLINE, 0, ErrataStatus::NotListed, 0, Mode::TscDeadline,
       Reason::NoErratum}, // made without it
      {"GenuineIntel", 0x306F2, DEADLINE, 0x39, ErrataStatus::BelowMinimum, 0x3A, Mode::OneShot,
       Reason::Erratum},
      {"GenuineIntel", 0x306F3, DEADLINE, 0x39, ErrataStatus::UnknownStepping, 0, Mode::TscDeadline,
       Reason::NoErratum},
      {"GenuineIntel", 0x306F4, DEADLINE, 0x0F, ErrataStatus::Fixed, 0x0F, Mode::TscDeadline,
       Reason::NoErratum},
      {"GenuineIntel", 0x50661, DEADLINE, 0x11, ErrataStatus::UnknownStepping, 0, Mode::TscDeadline,
       Reason::NoErratum},
      {"GenuineIntel", 0x50665, DEADLINE, 0x0E000002, ErrataStatus::BelowMinimum, 0x0E000003,
       Mode::OneShot, Reason::Erratum},
      {"GenuineIntel", 0x406F1, DEADLINE, 0x0B000020, ErrataStatus::Fixed, 0x0B000020,
       Mode::TscDeadline, Reason::NoErratum},
      {"GenuineIntel", 0x306C3, DEADLINE, 0x21, ErrataStatus::BelowMinimum, 0x22, Mode::OneShot,
       Reason::Erratum}, // Haswell client
      {"GenuineIntel", 0x906EA, DEADLINE, 0x52, ErrataStatus::Fixed, 0x52, Mode::TscDeadline,
       Reason::NoErratum},
      {"GenuineIntel", 0x806C1, DEADLINE, 0, ErrataStatus::NotListed, 0, Mode::TscDeadline,
       Reason::NoErratum}, // Tiger Lake
      {"GenuineIntel", 0xF65, 0, 0, ErrataStatus::NotListed, 0, Mode::OneShot,
       Reason::NoTscDeadline}, // family 15, model 6
      {"GenuineIntel", 0x1067A, 0, 0, ErrataStatus::NotListed, 0, Mode::OneShot,
       Reason::NoTscDeadline}, // Core 2
      // The host's concern: the revision is not read, the row not consulted.
      {"GenuineIntel", 0x50654, DEADLINE | CPUID_ECX_HYPERVISOR, 0, ErrataStatus::NotApplicable, 0,
       Mode::TscDeadline, Reason::Hypervisor},
      {"AuthenticAMD", 0x50654, DEADLINE, 0, ErrataStatus::NotApplicable, 0, Mode::TscDeadline,
       Reason::NoErratum},
      {"AuthenticAMD", 0x800F11, 0, 0, ErrataStatus::NotApplicable, 0, Mode::OneShot,
       Reason::NoTscDeadline}, // Ryzen
  };
  for (const ErrataCase& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Vendor) + " signature " + std::to_string(Case.Signature) +
                 " microcode " + std::to_string(Case.Microcode));
    Machine().Reset();
    SetVendor(Case.Vendor);
    Machine().CpuidLeaves[1] = {Case.Signature, 0, Case.Features, 0};
    Machine().MicrocodeRevision = Case.Microcode;
    Machine().Msrs[MICROCODE_MSR] = 0xDEAD00000000ULL; // left by an earlier read: cleared first
    const CpuIdentity Cpu = ReadCpuIdentity();
    const ErrataFinding Finding = CheckDeadlineErrata(Cpu);
    EXPECT_EQ(static_cast<int>(Finding.Status), static_cast<int>(Case.Expected));
    EXPECT_EQ(Finding.MinimumRevision, Case.Minimum);
    const bool Read = std::strcmp(Case.Vendor, "GenuineIntel") == 0 &&
                      (Case.Features & CPUID_ECX_HYPERVISOR) == 0;
    EXPECT_EQ(Cpu.MicrocodeRead, Read);
    if (Read) {
      EXPECT_EQ(Cpu.Microcode, Case.Microcode);
    } else {
      EXPECT_TRUE(Machine().Accesses(AccessKind::MsrWrite).empty()) << "microcode register written";
    }

    const TimerModeChoice Auto = ChooseTimerMode(TimerModeSetting::Auto, Cpu);
    EXPECT_EQ(static_cast<int>(Auto.Mode), static_cast<int>(Case.AutoMode));
    EXPECT_EQ(static_cast<int>(Auto.Reason), static_cast<int>(Case.AutoReason));
    EXPECT_EQ(Auto.Errata.MinimumRevision, Case.Minimum);
    // The other two builds take the processor as it is: one-shot mode always, TSC-deadline mode
    // or none at all.
    const TimerModeChoice OneShot = ChooseTimerMode(TimerModeSetting::OneShot, Cpu);
    EXPECT_EQ(static_cast<int>(OneShot.Mode), static_cast<int>(Mode::OneShot));
    EXPECT_EQ(static_cast<int>(OneShot.Reason), static_cast<int>(Reason::BuildAsks));
    const TimerModeChoice Deadline = ChooseTimerMode(TimerModeSetting::TscDeadline, Cpu);
    EXPECT_EQ(static_cast<int>(Deadline.Mode), static_cast<int>(Mode::TscDeadline));
    EXPECT_EQ(
        static_cast<int>(Deadline.Reason),
        static_cast<int>(Case.Features & DEADLINE ? Reason::BuildAsks : Reason::NoTscDeadline));
  }
}

TEST(MultiplyDivideTest, KeepsTheWholeProductRoundsAsAskedAndSaturates) {
  constexpr UINT64 LARGEST = ~0ULL;
  struct Case {
    UINT64 Value, Multiplier;
    UINT32 Divisor;
    UINT64 Down, Up;
  };
  const Case Cases[] = {
      {1000000, 2000000000, 10000000, 200000000, 200000000},
      {7, 1, 2, 3, 4},
      {0, 12345, 7, 0, 0},
      {LARGEST, LARGEST, 0xFFFFFFFF, LARGEST, LARGEST},   // beyond 64 bits
      {1ULL << 63, 20000000, 10000000, LARGEST, LARGEST}, // exactly 2^64
      {1ULL << 62, 20000000, 10000000, 1ULL << 63, 1ULL << 63},
      {LARGEST, 3, 4, 0xBFFFFFFFFFFFFFFFULL, 0xC000000000000000ULL},
      {5, 5, 0, LARGEST, LARGEST}, // no divisor
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Value) + " x " + std::to_string(C.Multiplier) + " / " +
                 std::to_string(C.Divisor));
    EXPECT_EQ(MultiplyDivide(C.Value, C.Multiplier, C.Divisor, FALSE), C.Down);
    EXPECT_EQ(MultiplyDivide(C.Value, C.Multiplier, C.Divisor, TRUE), C.Up);
  }
}

} // namespace
