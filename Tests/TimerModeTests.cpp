// The timer mode a build runs in on a processor, as the simulated processor answers CPUID and the
// microcode register: the TSC-deadline errata table at its edges, the rule that reads it, and the
// 128-bit scaling every conversion of ticks uses.
#include "TimerTestSupport.h"

#include "Library/BaseLib/BaseLib.h"

namespace {

using TimerTesting::SetProcessor;
constexpr UINT32 DEADLINE = 1u << 24; // CPUID leaf 1 ECX: TSC-deadline mode
constexpr UINT32 HYPERVISOR = 1u << 31;
constexpr ErrataStatus NA = ErrataStatus::NotApplicable, NONE = ErrataStatus::NotListed,
                       FIXED = ErrataStatus::Fixed, BELOW = ErrataStatus::BelowMinimum,
                       UNKNOWN = ErrataStatus::UnknownStepping;
constexpr LapicTimerMode ONE_SHOT = LapicTimerMode::OneShot, TSC = LapicTimerMode::TscDeadline;

struct ErrataCase {
  const char* Vendor;
  UINT32 Signature, Features, Microcode; // CPUID leaf 1 EAX and ECX, the revision loaded
  ErrataStatus Status;
  UINT32 Minimum;
  LapicTimerMode AutoMode; // what a build with VESK_TIMER_MODE=auto runs in
};

TEST(TimerModeTest, ErrataTableAtItsEdgesAndTheModeAnAutoBuildTakes) {
  const char* const INTEL = "GenuineIntel";
  const ErrataCase Cases[] = {
      {INTEL, 0x50654, DEADLINE, 0x2000013, BELOW, 0x2000014, ONE_SHOT},
      {INTEL, 0x50654, DEADLINE, 0x2000014, FIXED, 0x2000014, TSC},
      {INTEL, 0x50653, DEADLINE, 0x1000135, BELOW, 0x1000136, ONE_SHOT},
      {INTEL, 0x50652, DEADLINE, 0, UNKNOWN, 0, TSC},
      {INTEL, 0x50657, DEADLINE, 0, NONE, 0, TSC}, // steppings made without the fault
      {INTEL, 0x306F2, DEADLINE, 0x39, BELOW, 0x3A, ONE_SHOT},
      {INTEL, 0x306F3, DEADLINE, 0x39, UNKNOWN, 0, TSC},
      {INTEL, 0x306F4, DEADLINE, 0x0F, FIXED, 0x0F, TSC},
      {INTEL, 0x50661, DEADLINE, 0x11, UNKNOWN, 0, TSC},
      {INTEL, 0x50665, DEADLINE, 0x0E000002, BELOW, 0x0E000003, ONE_SHOT},
      {INTEL, 0x406F1, DEADLINE, 0x0B000020, FIXED, 0x0B000020, TSC},
      {INTEL, 0x306C3, DEADLINE, 0x21, BELOW, 0x22, ONE_SHOT}, // Haswell client
      {INTEL, 0x906EA, DEADLINE, 0x52, FIXED, 0x52, TSC},
      {INTEL, 0x806C1, DEADLINE, 0, NONE, 0, TSC},            // Tiger Lake
      {INTEL, 0xF65, 0, 0, NONE, 0, ONE_SHOT},                // family 15, model 6
      {INTEL, 0x1067A, 0, 0, NONE, 0, ONE_SHOT},              // Core 2
      {INTEL, 0x50654, DEADLINE | HYPERVISOR, 0, NA, 0, TSC}, // the host's concern
      {"AuthenticAMD", 0x50654, DEADLINE, 0, NA, 0, TSC},
      {"AuthenticAMD", 0x800F11, 0, 0, NA, 0, ONE_SHOT}, // Ryzen
  };
  for (const ErrataCase& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Vendor) + " " + TimerTesting::Hex(Case.Signature) +
                 " microcode " + TimerTesting::Hex(Case.Microcode));
    Machine().Reset();
    SetProcessor(Case.Vendor, Case.Signature, Case.Features);
    Machine().MicrocodeRevision = Case.Microcode;
    Machine().Msrs[0x8B] = 0xDEAD00000000ULL; // left by an earlier read: cleared first
    const CpuIdentity Cpu = ReadCpuIdentity();
    const ErrataFinding Finding = CheckDeadlineErrata(Cpu);
    EXPECT_EQ(static_cast<int>(Finding.Status), static_cast<int>(Case.Status));
    EXPECT_EQ(Finding.MinimumRevision, Case.Minimum);
    const bool Read = Case.Vendor == INTEL && (Case.Features & HYPERVISOR) == 0;
    EXPECT_EQ(Cpu.MicrocodeRead, Read);
    EXPECT_EQ(Cpu.Microcode, Read ? Case.Microcode : 0);
    EXPECT_EQ(Machine().Accesses(AccessKind::MsrWrite).empty(), !Read) << "microcode register";

    // Each setting's choice, with its reason: auto by the processor, one-shot always, and
    // TSC-deadline or none at all.
    const TimerModeChoice Auto = ChooseTimerMode(TimerModeSetting::Auto, Cpu);
    const TimerModeReason Why = !(Case.Features & DEADLINE)  ? TimerModeReason::NoTscDeadline
                                : Case.Status == BELOW       ? TimerModeReason::Erratum
                                : Case.Features & HYPERVISOR ? TimerModeReason::Hypervisor
                                                             : TimerModeReason::NoErratum;
    EXPECT_EQ(static_cast<int>(Auto.Mode), static_cast<int>(Case.AutoMode));
    EXPECT_EQ(static_cast<int>(Auto.Reason), static_cast<int>(Why));
    const TimerModeChoice OneShot = ChooseTimerMode(TimerModeSetting::OneShot, Cpu);
    EXPECT_EQ(static_cast<int>(OneShot.Mode), static_cast<int>(ONE_SHOT));
    const TimerModeChoice Deadline = ChooseTimerMode(TimerModeSetting::TscDeadline, Cpu);
    EXPECT_EQ(static_cast<int>(Deadline.Mode), static_cast<int>(TSC));
    EXPECT_EQ(Deadline.Reason == TimerModeReason::NoTscDeadline, !(Case.Features & DEADLINE));
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
    EXPECT_EQ(MultiplyDivide(C.Value, C.Multiplier, C.Divisor, FALSE), C.Down) << C.Value;
    EXPECT_EQ(MultiplyDivide(C.Value, C.Multiplier, C.Divisor, TRUE), C.Up) << C.Value;
  }
}

} // namespace
