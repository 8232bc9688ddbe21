// The driver in the local APIC timer's one-shot mode, on the simulated machine's counting timer:
// the start in each build setting on the processors that decide it, a timer that does not count,
// ticks at timer rates that do not divide the TSC's with periods shorter and longer than one
// count, the stop; and the count's arithmetic and measurement alone.
#include "TimerTestSupport.h"

#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

#include <map>
#include <regex>

using namespace TimerTesting;

namespace {
constexpr UINT64 TSC_HZ = 2400000000;
constexpr UINT64 APIC_TIMER_HZ = 24000000; // a crystal-fed timer, 1/100 of the TSC
constexpr UINT32 DEADLINE = 1u << 24;      // CPUID leaf 1 ECX: TSC-deadline mode
constexpr UINT32 HYPERVISOR = 1u << 31;
constexpr UINT64 LARGEST_COUNT = 0xFFFFFFFF;
const std::string GREETING = Message("Initializing LAPIC Timer Driver\r\n");
const std::string MASKED_ONE_SHOT = "write LVT=" + Hex(LVT_MASK_BIT | LAPIC_TIMER_VECTOR);

class OneShotTest : public TimerDriverTest, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override {
    SetUpDriver(GetParam());
    Firmware().Pcd32[SimulatedFirmware::TSC_FREQUENCY_TOKEN] = TSC_HZ;
    Machine().TscHz = TSC_HZ;
    Machine().ApicTimerHz = APIC_TIMER_HZ;
    Machine().TscPerAccess = 97; // time runs on while the driver works
    Machine().Tsc = 0x5000000000;
    Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) = LVT_MASK_BIT;
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
  UINT32 Signature, Features, Microcode;
  std::string Line; // what the driver says of its mode; one-shot mode names its measured rate
};

TEST_P(OneShotTest, EachBuildTakesTheModeItsProcessorCallsForAndSaysWhy) {
  const std::string OneShot = "LAPIC timer in one-shot mode at ([0-9]+) Hz: ";
  const std::string Deadline = "LAPIC timer in TSC-deadline mode: ";
  const StartCase Cases[] = {
      {TimerModeSetting::Auto, "AuthenticAMD", 0x800F11, 0, 0, OneShot + "no TSC-deadline mode"},
      {TimerModeSetting::Auto, "GenuineIntel", 0x50654, DEADLINE, 0x2000013,
       OneShot + "TSC-deadline erratum on family 0x6 model 0x55 stepping 4, microcode 0x2000013 "
                 "is below 0x2000014"},
      {TimerModeSetting::Auto, "GenuineIntel", 0x50654, DEADLINE, 0x2000014,
       Deadline + "no erratum applies"},
      {TimerModeSetting::Auto, "GenuineIntel", 0x50654, DEADLINE | HYPERVISOR, 0,
       Deadline + "under a hypervisor, errata are the host's"},
      {TimerModeSetting::OneShot, "GenuineIntel", 0x806C1, DEADLINE, 0,
       OneShot + "the build asks for it"},
  };
  for (const StartCase& Case : Cases) {
    SCOPED_TRACE(Case.Line);
    SetUp();
    SetProcessor(Case.Vendor, Case.Signature, Case.Features);
    Machine().MicrocodeRevision = Case.Microcode;
    ASSERT_EQ(Start(Case.Setting), EFI_SUCCESS);
    const bool IsOneShot = Case.Line.rfind(OneShot, 0) == 0;
    std::smatch Said;
    const std::string Serial = Machine().SerialOutput();
    if (DEBUG_MESSAGES_ENABLED) {
      ASSERT_TRUE(std::regex_match(Serial, Said, std::regex(GREETING + Case.Line + "\r\n")));
      if (IsOneShot) { // the rate measured over 1 ms, one count either way
        EXPECT_NEAR(std::stod(Said[1]), APIC_TIMER_HZ, 1000) << Serial;
      }
    }
    const UINT32 Lvt = Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET);
    EXPECT_EQ(Lvt, (IsOneShot ? 0 : LVT_TSC_DEADLINE_MODE) | LAPIC_TIMER_VECTOR) << "running";
    EXPECT_EQ(Machine().TscDeadline() == 0, IsOneShot);
    EXPECT_EQ(Firmware().Installed.size(), 1u);
    if (IsOneShot) {
      // Masked in one-shot mode before any count; measured at divide-by-1 with interrupts off and
      // the count stopped after; then the handler, and a first tick no earlier than its deadline.
      std::vector<std::string> Steps;
      for (const std::string& Event : TimerEvents()) {
        for (const char* Step :
             {"write LVT=", "write DIVIDE=", "write COUNT=", "raise", "restore"}) {
          if (Event.rfind(Step, 0) == 0) {
            Steps.push_back(Event);
          }
        }
        if (Event.rfind("register", 0) == 0) {
          break;
        }
      }
      EXPECT_EQ(Steps, (std::vector<std::string>{MASKED_ONE_SHOT, "raise 31", "write DIVIDE=0xB",
                                                 "write COUNT=0xFFFFFFFF", "write COUNT=0x0",
                                                 "restore 4"}));
      EXPECT_NEAR(mApicTimerRate.Counts * static_cast<double>(TSC_HZ / APIC_TIMER_HZ),
                  mApicTimerRate.TscTicks, TSC_HZ / APIC_TIMER_HZ)
          << "measured within a count";
    }
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
}

// The entry takes the build's own setting: where TSC-deadline mode is missing, a TSC-deadline
// build declines and the others tick in one-shot mode.
TEST_P(OneShotTest, TheEntryStartsInTheBuildsSetting) {
  SetProcessor("AuthenticAMD", 0x800F11, 0);
  const bool Declines = TIMER_MODE == TimerModeSetting::TscDeadline;
  EXPECT_EQ(LapicTimerDriverEntry(Firmware().ImageHandle, Firmware().SystemTable()),
            Declines ? EFI_DEVICE_ERROR : EFI_SUCCESS);
  EXPECT_EQ(mTimerMode == LapicTimerMode::OneShot, !Declines);
}

struct TickCase {
  const char* Why;
  UINT64 TimerHz;
  UINT64 Period;     // 100 ns units
  UINT32 Interrupts; // a tick: more than one where one count does not hold the period
};

// Every interrupt is taken when the simulated count reaches zero. With the rate known exactly, each
// tick's last count ends no earlier than its deadline and less than one count after it, and the
// tick is notified then, not before; where the period is longer than a count holds, the earlier
// interrupts each re-arm the rest, and no count exceeds 32 bits.
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
    mApicTimerRate = {static_cast<UINT32>(Case.TimerHz), static_cast<UINT32>(TSC_HZ)};
    Machine().TscPerAccess = 0; // the count starts at the TSC the driver reads
    ASSERT_EQ(mTimerProtocol.RegisterHandler(&mTimerProtocol, RecordNotify), EFI_SUCCESS);
    ASSERT_EQ(mTimerProtocol.SetTimerPeriod(&mTimerProtocol, Case.Period), EFI_SUCCESS);
    const UINT64 TicksPerCount = (TSC_HZ + Case.TimerHz - 1) / Case.TimerHz;
    for (int Tick = 0; Tick < 5; ++Tick) {
      const size_t Before = Notifications().size();
      const UINT64 Deadline = mNextDeadline;
      for (UINT32 Interrupt = 1; Interrupt <= Case.Interrupts; ++Interrupt) {
        const UINT32 Count = Machine().ApicRegister(XAPIC_TIMER_INITIAL_COUNT_OFFSET);
        const UINT64 End = Machine().ApicTimerExpiry();
        const bool Last = Interrupt == Case.Interrupts;
        EXPECT_EQ(Count == LARGEST_COUNT, !Last) << Tick;
        EXPECT_TRUE(!Last || (Deadline <= End && End <= Deadline + TicksPerCount))
            << Tick << ": the count ends " << End - Deadline << " TSC ticks after the deadline";
        Machine().Tsc = End;
        ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
        EXPECT_EQ(Notifications().size() - Before, Last ? 1u : 0u) << Tick;
      }
    }
  }
}

TEST_P(OneShotTest, StoppingMasksAndClearsTheCountAndAStrayInterruptNotifiesZero) {
  ASSERT_EQ(Start(TimerModeSetting::OneShot), EFI_SUCCESS);
  ASSERT_EQ(mTimerProtocol.RegisterHandler(&mTimerProtocol, RecordNotify), EFI_SUCCESS);
  LogMark Stop;
  ASSERT_EQ(mTimerProtocol.SetTimerPeriod(&mTimerProtocol, 0), EFI_SUCCESS);
  ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
  EXPECT_EQ(Stop.Events(),
            (std::vector<std::string>{"raise 31", "read LVT", MASKED_ONE_SHOT, "write COUNT=0x0",
                                      "restore 4", "interrupt " + Hex(LAPIC_TIMER_VECTOR),
                                      "raise 31", "write EOI=0x0", "write COUNT=0x0",
                                      "notify 0 at TPL 31", "restore 4"}));
}

} // namespace
