// The four timer services and the tick interrupt handler, called directly on a local APIC that
// the entry has already programmed (TSC-deadline mode, the build's vector, masked).
#include "TimerTestSupport.h"

#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

using namespace TimerTesting;

namespace {
constexpr UINT64 TSC_FREQUENCY = 2000000000;
constexpr UINT64 START_TSC = 0x1000000;
constexpr UINT64 LARGEST = ~0ULL;
constexpr UINT64 TWO_TO_32 = 1ULL << 32;
constexpr UINT64 PERIOD = 1000000; // 100 ms: 2 x 10^8 ticks at 2 GHz
// Bits of the LVT timer register outside vector, mask and timer mode belong to the platform: every
// write must keep them.
constexpr UINT32 PLATFORM_LVT_BITS = 0xA5A80500;
static_assert((PLATFORM_LVT_BITS & 0x700FF) == 0, "outside vector, mask and timer mode");
const std::string MASK = "write LVT=" + Hex(PLATFORM_LVT_BITS | LVT_PROGRAMMED_MASKED);
const std::string UNMASK = "write LVT=" + Hex(PLATFORM_LVT_BITS | LVT_PROGRAMMED_RUNNING);

class TimerServicesTest : public TimerDriverTest {
protected:
  void SetUp() override { Prepare(false); }
  void Prepare(bool X2ApicMode) {
    SetUpDriver(X2ApicMode);
    gBS = &Firmware().BootServices; // as the entry binds it
    mTscTicksPerSecond = TSC_FREQUENCY;
    Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) = PLATFORM_LVT_BITS | LVT_PROGRAMMED_MASKED;
    Machine().Tsc = START_TSC;
  }
  static EFI_TIMER_ARCH_PROTOCOL* Timer() { return &mTimerProtocol; }
  static void Tick() {
    EFI_SYSTEM_CONTEXT Context{};
    LapicTimerInterruptHandler(LAPIC_TIMER_VECTOR, Context);
  }
};

// The sequences are the same whichever way the local APIC is reached.
class TimerSequenceTest : public TimerServicesTest, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override { Prepare(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(ApicModes, TimerSequenceTest, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "X2Apic" : "XApic"; });

TEST_F(TimerServicesTest, RegisterHandlerKeepsOneFunctionUntilItIsUnregistered) {
  LogMark Mark;
  EXPECT_EQ(Timer()->RegisterHandler(Timer(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Timer()->RegisterHandler(Timer(), RecordNotify), EFI_SUCCESS);
  EXPECT_EQ(Timer()->RegisterHandler(Timer(), OtherNotify), EFI_ALREADY_STARTED);
  EXPECT_EQ(mNotifyFunction, RecordNotify);
  EXPECT_EQ(Timer()->RegisterHandler(Timer(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(mNotifyFunction, nullptr);
  EXPECT_EQ(Timer()->RegisterHandler(Timer(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Timer()->RegisterHandler(Timer(), RecordNotify), EFI_SUCCESS);
  EXPECT_EQ(mNotifyFunction, RecordNotify);
  // A single pointer store: no TPL raised, no hardware touched.
  EXPECT_EQ(Mark.Events(), std::vector<std::string>{});
}

TEST_F(TimerServicesTest, GetTimerPeriodReportsTheLastPeriodSet) {
  UINT64 Period = 0xDEAD;
  EXPECT_EQ(Timer()->GetTimerPeriod(Timer(), &Period), EFI_SUCCESS);
  EXPECT_EQ(Period, 0u);
  EXPECT_EQ(Timer()->GetTimerPeriod(Timer(), nullptr), EFI_INVALID_PARAMETER);

  ASSERT_EQ(Timer()->SetTimerPeriod(Timer(), 123457), EFI_SUCCESS);
  LogMark Mark;
  EXPECT_EQ(Timer()->GetTimerPeriod(Timer(), &Period), EFI_SUCCESS);
  EXPECT_EQ(Period, 123457u);
  EXPECT_EQ(Mark.Events(), std::vector<std::string>{});
}

TEST_P(TimerSequenceTest, SetTimerPeriodMasksDisarmsThenArmsAfterUnmasking) {
  // The period is stored once the hardware is programmed, before the TPL comes down.
  std::vector<UINT64> PeriodSeen;
  Machine().AfterAccess = [&](const HardwareAccessRecord& Access) {
    if (Access.Kind == AccessKind::RestoreTpl ||
        (Access.Kind == AccessKind::MsrWrite &&
         Access.Address == SimulatedMachine::TSC_DEADLINE_MSR)) {
      PeriodSeen.push_back(mCurrentPeriod);
    }
  };
  LogMark Mark;
  EXPECT_EQ(Timer()->SetTimerPeriod(Timer(), PERIOD), EFI_SUCCESS);
  const UINT64 Deadline = START_TSC + 200000000; // 100 ms at 2 GHz
  EXPECT_EQ(Mark.Events(), (std::vector<std::string>{"raise 31", "read LVT", MASK, "deadline=0x0",
                                                     "tsc", "read LVT", UNMASK,
                                                     "deadline=" + Hex(Deadline), "restore 4"}));
  EXPECT_EQ(Machine().TscDeadline(), Deadline);
  EXPECT_EQ(PeriodSeen, (std::vector<UINT64>{0, 0, PERIOD}));
}

TEST_P(TimerSequenceTest, SetTimerPeriodZeroLeavesTheTimerMaskedAndDisarmed) {
  ASSERT_EQ(Timer()->SetTimerPeriod(Timer(), PERIOD), EFI_SUCCESS);
  ASSERT_EQ(Timer()->RegisterHandler(Timer(), RecordNotify), EFI_SUCCESS);

  LogMark Stop;
  EXPECT_EQ(Timer()->SetTimerPeriod(Timer(), 0), EFI_SUCCESS);
  EXPECT_EQ(Stop.Events(),
            (std::vector<std::string>{"raise 31", "read LVT", MASK, "deadline=0x0", "restore 4"}));
  EXPECT_EQ(mCurrentPeriod, 0u);

  // A masked timer has nothing to simulate.
  LogMark Soft;
  EXPECT_EQ(Timer()->GenerateSoftInterrupt(Timer()), EFI_UNSUPPORTED);
  EXPECT_EQ(Soft.Events(), (std::vector<std::string>{"raise 31", "read LVT", "restore 4"}));
}

TEST_P(TimerSequenceTest, SoftInterruptNotifiesWithoutAcknowledgingOrRearming) {
  ASSERT_EQ(Timer()->SetTimerPeriod(Timer(), 250000), EFI_SUCCESS);
  const UINT64 Armed = Machine().TscDeadline();

  LogMark Alone;
  EXPECT_EQ(Timer()->GenerateSoftInterrupt(Timer()), EFI_SUCCESS);
  EXPECT_EQ(Alone.Events(), (std::vector<std::string>{"raise 31", "read LVT", "restore 4"}));

  ASSERT_EQ(Timer()->RegisterHandler(Timer(), RecordNotify), EFI_SUCCESS);
  LogMark Notified;
  EXPECT_EQ(Timer()->GenerateSoftInterrupt(Timer()), EFI_SUCCESS);
  EXPECT_EQ(Notified.Events(), (std::vector<std::string>{"raise 31", "read LVT",
                                                         "notify 250000 at TPL 31", "restore 4"}));
  EXPECT_EQ(Machine().TscDeadline(), Armed);
}

TEST_P(TimerSequenceTest, InterruptAcknowledgesAndRearmsBeforeNotifying) {
  ASSERT_EQ(Timer()->SetTimerPeriod(Timer(), PERIOD), EFI_SUCCESS);
  ASSERT_EQ(Timer()->RegisterHandler(Timer(), RecordNotify), EFI_SUCCESS);
  // The handler runs late: the next deadline counts from the TSC it reads, not from the last one.
  Machine().Tsc = START_TSC + 200000000 + 777;

  LogMark Mark;
  Tick();
  EXPECT_EQ(Mark.Events(), (std::vector<std::string>{"raise 31", "write EOI=0x0", "tsc",
                                                     "deadline=" + Hex(Machine().Tsc + 200000000),
                                                     "notify 1000000 at TPL 31", "restore 4"}));

  ASSERT_EQ(Timer()->RegisterHandler(Timer(), nullptr), EFI_SUCCESS);
  LogMark Unwatched;
  Tick();
  EXPECT_EQ(Unwatched.Events(),
            (std::vector<std::string>{"raise 31", "write EOI=0x0", "tsc",
                                      "deadline=" + Hex(Machine().Tsc + 200000000), "restore 4"}));
  // The LVT timer belongs to SetTimerPeriod alone.
  EXPECT_EQ(Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET),
            PLATFORM_LVT_BITS | LVT_PROGRAMMED_RUNNING);
}

TEST_P(TimerSequenceTest, InterruptWhileStoppedAcknowledgesKeepsDisarmedAndNotifiesZero) {
  ASSERT_EQ(Timer()->RegisterHandler(Timer(), RecordNotify), EFI_SUCCESS);
  LogMark Mark;
  Tick();
  EXPECT_EQ(Mark.Events(), (std::vector<std::string>{"raise 31", "write EOI=0x0", "deadline=0x0",
                                                     "notify 0 at TPL 31", "restore 4"}));
}

// The deadline armed by SetTimerPeriod, and re-armed by the next tick from the same TSC value.
struct DeadlineCase {
  const char* Why;
  UINT64 Period;
  UINT64 Frequency;
  UINT64 Tsc;
  UINT64 Deadline;
};

TEST_F(TimerServicesTest, DeadlineIsTheTscPlusTheExactTickCountSaturating) {
  const DeadlineCase Cases[] = {
      {"100 ms at 2 GHz", 1000000, 2000000000, START_TSC, START_TSC + 200000000},
      {"3 s: a tick count beyond 32 bits", 30000000, 2000000000, 0x1000, 0x1000 + 6000000000},
      {"1000 s at 3 GHz: the product exceeds 64 bits", 10000000000, 3000000000, 0x1000,
       0x1000 + 3000000000000},
      {"less than one tick rounds down", 1, 9999999, 77, 77},
      {"a wide product rounds down", 12345678901234567, 2999999999, 0, 0x336632DD30267F61},
      {"largest period, small frequency", LARGEST, 3, 0, 0x5087D7D0360},
      {"2^64 - 2^32 ticks", TWO_TO_32 * UNITS_PER_SECOND, 0xFFFFFFFF, 0, 0xFFFFFFFF00000000},
      {"exactly the largest tick count", (TWO_TO_32 + 1) * UNITS_PER_SECOND, 0xFFFFFFFF, 0,
       LARGEST},
      {"one tick count past 64 bits saturates", (TWO_TO_32 + 2) * UNITS_PER_SECOND, 0xFFFFFFFF, 0,
       LARGEST},
      {"largest period and frequency saturate", LARGEST, 0xFFFFFFFF, 5, LARGEST},
      {"a deadline past the counter's end saturates", 1000000, 2000000000, LARGEST - 1000, LARGEST},
      {"a deadline just before the counter's end", 1000000, 2000000000, LARGEST - 200000001,
       LARGEST - 1},
      {"frequency 0: the deadline is the TSC value", 1000000, 0, 0x1234, 0x1234},
  };
  for (const DeadlineCase& Case : Cases) {
    SCOPED_TRACE(Case.Why);
    mTscTicksPerSecond = Case.Frequency;
    Machine().Tsc = Case.Tsc;
    ASSERT_EQ(Timer()->SetTimerPeriod(Timer(), Case.Period), EFI_SUCCESS);
    EXPECT_EQ(Machine().TscDeadline(), Case.Deadline);
    Machine().Msrs[SimulatedMachine::TSC_DEADLINE_MSR] = 0;
    Tick();
    EXPECT_EQ(Machine().TscDeadline(), Case.Deadline);
  }
}

} // namespace
