// The driver in the local APIC timer's one-shot mode, on the simulated machine's counting timer:
// the start in each build setting on the processors that decide it, a timer that does not count,
// and ticks at timer rates that do not divide the TSC's, with periods shorter and longer than one
// count.
#include "TimerTestSupport.h"

#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>

using namespace TimerTesting;

namespace {
constexpr UINT64 TSC_HZ = 2400000000;
constexpr UINT64 APIC_TIMER_HZ = 24000000; // a crystal-fed timer, 1/100 of the TSC
constexpr UINT32 CPUID_ECX_TSC_DEADLINE = 1u << 24;
constexpr UINT32 CPUID_ECX_HYPERVISOR = 1u << 31;
constexpr UINT32 LVT_MODE_BITS = 3u << 17;
constexpr UINT64 LARGEST_COUNT = 0xFFFFFFFF;
const std::string GREETING = Message("Initializing LAPIC Timer Driver\r\n");

void SetProcessor(const char* Vendor, UINT32 Signature, UINT32 Features) {
  CpuidResult Leaf0 = {0x16, 0, 0, 0};
  std::memcpy(&Leaf0.Ebx, Vendor, 4);
  std::memcpy(&Leaf0.Edx, Vendor + 4, 4);
  std::memcpy(&Leaf0.Ecx, Vendor + 8, 4);
  Machine().CpuidLeaves[0] = Leaf0;
  Machine().CpuidLeaves[1].Eax = Signature;
  Machine().CpuidLeaves[1].Ecx =
      (Machine().CpuidLeaves[1].Ecx & ~CPUID_ECX_TSC_DEADLINE) | Features;
}

// The index of the first event that starts with Prefix, from From on; the end when there is none.
size_t Find(const std::vector<std::string>& Events, const std::string& Prefix, size_t From = 0) {
  return std::find_if(Events.begin() + From, Events.end(),
                      [&](const std::string& Event) { return Event.rfind(Prefix, 0) == 0; }) -
         Events.begin();
}

class OneShotTest : public TimerDriverTest, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override {
    SetUpDriver(GetParam());
    Firmware().Pcd32[SimulatedFirmware::TSC_FREQUENCY_TOKEN] = TSC_HZ;
    Machine().TscHz = TSC_HZ;
    Machine().ApicTimerHz = APIC_TIMER_HZ;
    Machine().TscPerAccess = 97; // time runs on while the driver works
    Machine().Tsc = 0x5000000000;
    Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) = 0x10000;
  }
  static EFI_STATUS Start(TimerModeSetting Setting) {
    return StartLapicTimer(Firmware().ImageHandle, Firmware().SystemTable(), Setting);
  }
};
INSTANTIATE_TEST_SUITE_P(ApicModes, OneShotTest, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "X2Apic" : "XApic"; });

struct StartCase {
  TimerModeSetting Setting;
  const char* Vendor;
  UINT32 Signature;
  UINT32 Features;
  UINT32 Microcode;
  bool OneShot;
  std::string Line; // what the driver says of its mode, the rate it measured as RATE
};

// The rate the driver measured, one count either way over its 1 ms window.
constexpr UINT64 RATE_TOLERANCE_HZ = 2 * APIC_TIMER_HZ / 1000 / 1000 + 1000;

TEST_P(OneShotTest, EachBuildTakesTheModeItsProcessorCallsForAndSaysWhy) {
  const std::string OneShot = "LAPIC timer in one-shot mode at RATE Hz: ";
  const StartCase Cases[] = {
      {TimerModeSetting::Auto, "AuthenticAMD", 0x800F11, 0, 0, true,
       OneShot + "no TSC-deadline mode"},
      {TimerModeSetting::Auto, "GenuineIntel", 0x50654, CPUID_ECX_TSC_DEADLINE, 0x2000013, true,
       OneShot + "TSC-deadline erratum on family 0x6 model 0x55 stepping 4, microcode 0x2000013 "
                 "is below 0x2000014"},
      {TimerModeSetting::Auto, "GenuineIntel", 0x50654, CPUID_ECX_TSC_DEADLINE, 0x2000014, false,
       "LAPIC timer in TSC-deadline mode: no erratum applies"},
      {TimerModeSetting::Auto, "GenuineIntel", 0x50654,
       CPUID_ECX_TSC_DEADLINE | CPUID_ECX_HYPERVISOR, 0, false,
       "LAPIC timer in TSC-deadline mode: under a hypervisor, errata are the host's"},
      {TimerModeSetting::OneShot, "GenuineIntel", 0x806C1, CPUID_ECX_TSC_DEADLINE, 0, true,
       OneShot + "the build asks for it"},
  };
  for (const StartCase& Case : Cases) {
    SCOPED_TRACE(Case.Line);
    SetUp();
    SetProcessor(Case.Vendor, Case.Signature, Case.Features);
    Machine().MicrocodeRevision = Case.Microcode;
    ASSERT_EQ(Start(Case.Setting), EFI_SUCCESS);
    std::string Line = std::regex_replace(Case.Line, std::regex("[().]"), "\\$&");
    Line = std::regex_replace(Line, std::regex("RATE"), "([0-9]+)");
    std::smatch Said;
    const std::string Serial = Machine().SerialOutput();
    if (DEBUG_MESSAGES_ENABLED) {
      ASSERT_TRUE(std::regex_match(Serial, Said, std::regex(GREETING + Line + "\r\n"))) << Serial;
      if (Case.OneShot) {
        EXPECT_NEAR(std::stod(Said[1]), APIC_TIMER_HZ, RATE_TOLERANCE_HZ);
      }
    }
    const UINT32 Lvt = Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET);
    EXPECT_EQ(Lvt & LVT_MODE_BITS, Case.OneShot ? 0u : LVT_TSC_DEADLINE_MODE);
    EXPECT_EQ(Lvt & (LVT_MASK_BIT | 0xFF), LAPIC_TIMER_VECTOR) << "running on the build's vector";
    EXPECT_EQ(Machine().ApicTimerExpiry() != 0, Case.OneShot);
    EXPECT_EQ(Machine().TscDeadline() != 0, !Case.OneShot);
    EXPECT_EQ(Firmware().Installed.size(), 1u);
    if (!Case.OneShot) {
      continue;
    }
    // One-shot mode is set, masked, before any count; the rate is measured at divide-by-1 with
    // interrupts off and the count stopped after it; the handler comes next, then the first tick,
    // which ends no earlier than its deadline.
    const std::vector<std::string> Events = TimerEvents();
    const size_t Lvt1 = Find(Events, "write LVT=" + Hex(LVT_MASK_BIT | LAPIC_TIMER_VECTOR));
    const size_t Raise = Find(Events, "raise 31");
    const size_t Divide = Find(Events, "write DIVIDE=0xB");
    const size_t Count = Find(Events, "write COUNT=0xFFFFFFFF");
    const size_t Stop = Find(Events, "write COUNT=0x0", Count);
    const size_t Restore = Find(Events, "restore 4", Raise);
    const size_t Register = Find(Events, "register 0x0");
    EXPECT_LT(Lvt1, Raise);
    EXPECT_LT(Raise, Divide);
    EXPECT_LT(Divide, Count);
    EXPECT_LT(Count, Stop);
    EXPECT_LT(Stop, Restore);
    EXPECT_LT(Restore, Register);
    EXPECT_EQ(Find(Events, "write COUNT="), Count) << "no count before the measurement";
    EXPECT_NEAR(mApicTimerRate.Counts * static_cast<double>(TSC_HZ / APIC_TIMER_HZ),
                mApicTimerRate.TscTicks, TSC_HZ / APIC_TIMER_HZ);
    EXPECT_GE(Machine().ApicTimerExpiry(), mNextDeadline);
    ExpectFirmwareUsedProperly();
  }
}

TEST_P(OneShotTest, ATimerThatDoesNotCountEndsTheStartLeavingTheApicAsFound) {
  Machine().ApicTimerHz = 0;
  Machine().ApicRegister(XAPIC_SPURIOUS_VECTOR_OFFSET) = 0xFF;
  Machine().ApicRegister(XAPIC_TIMER_DIVIDE_OFFSET) = 0x3;
  const std::map<UINT64, UINT32> Found = Machine().ApicRegisters;
  EXPECT_EQ(Start(TimerModeSetting::OneShot), EFI_DEVICE_ERROR);
  EXPECT_EQ(Machine().SerialOutput(),
            GREETING + Message("LAPIC timer does not count in one-shot mode. Unload LAPIC timer "
                               "driver.\r\n"));
  EXPECT_TRUE(Firmware().InterruptHandlers.empty());
  EXPECT_TRUE(Firmware().Installed.empty());
  for (const auto& [Offset, Value] : Found) {
    EXPECT_EQ(Machine().ApicRegister(Offset), Value) << ApicRegisterName(Offset);
  }
  EXPECT_EQ(Machine().ApicRegister(XAPIC_TIMER_INITIAL_COUNT_OFFSET), 0u)
      << "no count left running";
}

// The entry takes the build's own setting: where TSC-deadline mode is missing, a TSC-deadline
// build declines and the others tick in one-shot mode.
TEST_P(OneShotTest, TheEntryStartsInTheBuildsSetting) {
  SetProcessor("AuthenticAMD", 0x800F11, 0);
  const EFI_STATUS Status = LapicTimerDriverEntry(Firmware().ImageHandle, Firmware().SystemTable());
  EXPECT_EQ(Status, TIMER_MODE == TimerModeSetting::TscDeadline ? EFI_DEVICE_ERROR : EFI_SUCCESS);
  EXPECT_EQ(mTimerMode == LapicTimerMode::OneShot, TIMER_MODE != TimerModeSetting::TscDeadline);
}

struct TickCase {
  const char* Why;
  UINT64 TimerHz;
  UINT64 Period;     // 100 ns units
  UINT32 Interrupts; // a tick: more than one where one count does not hold the period
};

// Every interrupt is taken when the simulated count reaches zero. A tick never comes before its
// deadline and no count exceeds 32 bits; an interrupt before the deadline re-arms the rest without
// a notify: where the period is longer than a count holds, and where the measured rate came out a
// count slow, which may add one interrupt.
TEST_P(OneShotTest, TicksComeNoEarlierThanTheirDeadlineAtAnyRateAndPeriod) {
  const TickCase Cases[] = {
      {"a crystal at 1/100 of the TSC", APIC_TIMER_HZ, 10000, 1},
      {"a timer rate that divides nothing", 19200007, 1234, 1},
      {"a timer faster than the TSC", 3000000001, 123457, 1},
      {"a period of 1: one count", 25000000, 1, 1},
      {"200 s at 24 MHz: one count holds 179 s", APIC_TIMER_HZ, 2000000000, 2},
      {"10 s at 1 GHz: three counts", 1000000000, 100000000, 3},
  };
  for (const TickCase& Case : Cases) {
    SCOPED_TRACE(Case.Why);
    SetUp();
    Machine().ApicTimerHz = Case.TimerHz;
    ASSERT_EQ(Start(TimerModeSetting::OneShot), EFI_SUCCESS);
    auto* Timer = &mTimerProtocol;
    ASSERT_EQ(Timer->RegisterHandler(Timer, RecordNotify), EFI_SUCCESS);
    ASSERT_EQ(Timer->SetTimerPeriod(Timer, Case.Period), EFI_SUCCESS);
    UINT64 Previous = Machine().Tsc;
    for (int Tick = 0; Tick < 5; ++Tick) {
      SCOPED_TRACE(Tick);
      const size_t Before = Notifications().size();
      const UINT64 Deadline = mNextDeadline;
      UINT32 Interrupts = 0;
      while (Notifications().size() == Before && Interrupts <= Case.Interrupts) {
        const UINT32 Count = Machine().ApicRegister(XAPIC_TIMER_INITIAL_COUNT_OFFSET);
        EXPECT_GT(Count, 0u) << "the timer is armed";
        EXPECT_EQ(Count == LARGEST_COUNT, Interrupts + 1 < Case.Interrupts) << Interrupts;
        Machine().Tsc = Machine().ApicTimerExpiry();
        ++Interrupts;
        ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
        EXPECT_EQ(Notifications().size() != Before, Machine().Tsc >= Deadline)
            << "notified exactly once the deadline has passed";
      }
      EXPECT_GE(Interrupts, Case.Interrupts);
      EXPECT_LE(Interrupts, Case.Interrupts + 1);
      EXPECT_GE(Machine().Tsc - Previous, TscTicksOf(Case.Period, TSC_HZ));
      Previous = Machine().Tsc;
    }
    ExpectFirmwareUsedProperly();
  }
}

struct ArmCase {
  ApicTimerRate Rate; // the timer's counts per TSC ticks, exactly
  UINT64 Distance;    // TSC ticks from now to the deadline
};

// The arithmetic alone, on a timer whose rate is exactly the one given: the count ends no earlier
// than the deadline and no more than one count after it, is never 0, and never exceeds 32 bits.
TEST_F(TimerDriverTest, ArmedCountEndsAtTheDeadlineRoundedUp) {
  const ArmCase Cases[] = {
      {{3, 7}, 1},
      {{3, 7}, 2},
      {{3, 7}, 7},
      {{3, 7}, 1000001},
      {{7, 3}, 1},
      {{7, 3}, 5},
      {{1000003, 999983}, 1234567},
      {{1, 100}, 1},
      {{1, 100}, 99},
      {{1, 100}, 100},
      {{1, 100}, 429496729501},
      {{3, 7}, 0},
      {{3, 7}, ~0ULL >> 1},
  };
  for (const ArmCase& Case : Cases) {
    SCOPED_TRACE(std::to_string(Case.Rate.Counts) + "/" + std::to_string(Case.Rate.TscTicks) +
                 " for " + std::to_string(Case.Distance));
    SetUpDriver(false);
    Machine().TscHz = Case.Rate.TscTicks * 1000000000ULL;
    Machine().ApicTimerHz = Case.Rate.Counts * 1000000000ULL;
    Machine().Tsc = 0x7000000000;
    Machine().ApicRegister(XAPIC_TIMER_DIVIDE_OFFSET) =
        0xB; // divide by 1, as the measurement set it
    const UINT64 Deadline = Machine().Tsc + Case.Distance;
    ArmApicTimer(Deadline, Case.Rate);
    const UINT64 Count = Machine().ApicRegister(XAPIC_TIMER_INITIAL_COUNT_OFFSET);
    EXPECT_GE(Count, 1u);
    EXPECT_LE(Count, LARGEST_COUNT);
    const UINT64 End = Machine().ApicTimerExpiry();
    if (Count < LARGEST_COUNT) {
      EXPECT_GE(End, Deadline);
      const UINT64 TicksPerCount = (Case.Rate.TscTicks + Case.Rate.Counts - 1) / Case.Rate.Counts;
      EXPECT_LE(End, Deadline + TicksPerCount) << "no more than one count late";
    } else {
      EXPECT_LT(End, Deadline) << "the longest count, short of a deadline it cannot reach";
    }
  }
}

// A timer counted against a TSC that runs, one that does not count, and a TSC that stands still:
// each measurement ends, and only the first gives a rate.
TEST_F(TimerDriverTest, RateIsMeasuredOnlyWhereBothClocksRun) {
  SetUpDriver(false);
  Machine().TscHz = 3000000000;
  Machine().ApicTimerHz = 100000000;
  Machine().TscPerAccess = 40;
  const ApicTimerRate Rate = MeasureApicTimerRate(3000000);
  EXPECT_NEAR(Rate.Counts * 30.0, Rate.TscTicks, 30.0);
  EXPECT_GE(Rate.TscTicks, 3000000u);
  EXPECT_EQ(Machine().ApicRegister(XAPIC_TIMER_DIVIDE_OFFSET), 0xBu);
  EXPECT_EQ(Machine().ApicRegister(XAPIC_TIMER_INITIAL_COUNT_OFFSET), 0u) << "left stopped";

  Machine().ApicTimerHz = 0;
  EXPECT_EQ(MeasureApicTimerRate(3000000).Counts, 0u);
  Machine().ApicTimerHz = 100000000;
  Machine().TscPerAccess = 0;
  EXPECT_EQ(MeasureApicTimerRate(3000000).Counts, 0u);
}

TEST_P(OneShotTest, StoppingMasksAndClearsTheCountAndAStrayInterruptNotifiesZero) {
  ASSERT_EQ(Start(TimerModeSetting::OneShot), EFI_SUCCESS);
  auto* Timer = &mTimerProtocol;
  ASSERT_EQ(Timer->RegisterHandler(Timer, RecordNotify), EFI_SUCCESS);
  LogMark Stop;
  ASSERT_EQ(Timer->SetTimerPeriod(Timer, 0), EFI_SUCCESS);
  const std::string Masked = "write LVT=" + Hex(LVT_MASK_BIT | LAPIC_TIMER_VECTOR);
  EXPECT_EQ(Stop.Events(), (std::vector<std::string>{"raise 31", "read LVT", Masked,
                                                     "write COUNT=0x0", "restore 4"}));
  LogMark Stray;
  ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
  EXPECT_EQ(Stray.Events(), (std::vector<std::string>{
                                "interrupt " + Hex(LAPIC_TIMER_VECTOR), "raise 31", "write EOI=0x0",
                                "write COUNT=0x0", "notify 0 at TPL 31", "restore 4"}));
  EXPECT_EQ(Timer->GenerateSoftInterrupt(Timer), EFI_UNSUPPORTED);
}

} // namespace
