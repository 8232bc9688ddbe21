// The driver's start on the simulated machine and firmware: the successful start in both local
// APIC modes, the firmware core then using the installed timer, and every way the start can fail.
#include "TimerTestSupport.h"

#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

#include <algorithm>
#include <functional>
#include <regex>

using namespace TimerTesting;

namespace {
constexpr UINT32 TSC_FREQUENCY = 2000000000;
constexpr UINT64 START_TSC = 0x123456789;
// The build's first period (100 ms, 2 x 10^8 ticks at 2 GHz, by default).
const UINT64 DEFAULT_PERIOD_TICKS = TscTicksOf(DEFAULT_TIMER_PERIOD, TSC_FREQUENCY);
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EFI_ERROR_BIT | 9;
constexpr EFI_STATUS EFI_WARN_STALE_DATA = 5;
// Spurious-interrupt vector and LVT timer registers as the processor leaves them at reset.
constexpr UINT32 SVR_AT_RESET = 0xFF;
constexpr UINT32 LVT_AT_RESET = 0x10000;

const std::string GREETING = Message("Initializing LAPIC Timer Driver\r\n");
const std::string DRIVER_FILE = "VeskLapicTimerDxe/VeskLapicTimer.cpp";
const std::string LVT_MASKED_WRITE = "write LVT=" + Hex(LVT_PROGRAMMED_MASKED);

std::string AssertionLine(const std::string& File, const std::string& Expression) {
  return "ASSERT [VeskLapicTimerDxe] " + File + "(#): " + Expression + "\r\n";
}

std::string StatusCheck(const std::string& StatusName, const std::string& File) {
  return Message("\r\nASSERT_EFI_ERROR (Status = " + StatusName + ")\r\n") +
         AssertionLine(File, "!EFI_ERROR (Status)");
}

// Line numbers of the checks are the source's business, not the test's.
std::string SerialWithLinesMasked() {
  return std::regex_replace(Machine().SerialOutput(), std::regex(R"(\(\d+\): )"), "(#): ");
}

bool AnyEvent(const std::vector<std::string>& Events, const std::string& Prefix) {
  return std::any_of(Events.begin(), Events.end(),
                     [&](const std::string& Event) { return Event.rfind(Prefix, 0) == 0; });
}

class DriverEntryTest : public TimerDriverTest {
protected:
  void SetUp() override { Prepare(false); }
  void Prepare(bool X2ApicMode) {
    SetUpDriver(X2ApicMode);
    Firmware().Pcd32[SimulatedFirmware::TSC_FREQUENCY_TOKEN] = TSC_FREQUENCY;
    Machine().Tsc = START_TSC;
    Machine().ApicRegister(XAPIC_SPURIOUS_VECTOR_OFFSET) = SVR_AT_RESET;
    Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) = LVT_AT_RESET;
  }
  // TSC-deadline mode, whatever the build's setting: the other modes have tests of their own.
  static EFI_STATUS Start() {
    return StartLapicTimer(Firmware().ImageHandle, Firmware().SystemTable(),
                           TimerModeSetting::TscDeadline);
  }
};

class DriverStartTest : public DriverEntryTest, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override { Prepare(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(ApicModes, DriverStartTest, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "X2Apic" : "XApic"; });

TEST_P(DriverStartTest, ProgramsTheApicHooksTheVectorStartsTheTimerAndInstallsLast) {
  EXPECT_EQ(Start(), EFI_SUCCESS);

  EXPECT_EQ(Machine().SerialOutput(), GREETING);
  // The serial port is set up before anything else happens.
  ASSERT_FALSE(Machine().Log.empty());
  EXPECT_EQ(Machine().Log.front(),
            (HardwareAccessRecord{AccessKind::PortWrite, DEBUG_UART_BASE + 3u, 0x87}));
  EXPECT_EQ(TimerEvents(),
            (std::vector<std::string>{
                "locate " + Hex(EFI_NOT_FOUND), // no timer yet
                "locate 0x0",                   // CPU Architectural Protocol
                "locate 0x0",                   // configuration database
                "pcd " + Hex(TSC_FREQUENCY),
                "read SVR",
                "write SVR=0x1FF",
                "read LVT",
                LVT_MASKED_WRITE, // TSC-deadline mode, the build's vector, masked
                "register 0x0",
                "raise 31",
                "read LVT",
                LVT_MASKED_WRITE,
                "deadline=0x0",
                "tsc",
                "read LVT",
                "write LVT=" + Hex(LVT_PROGRAMMED_RUNNING),
                "deadline=" + Hex(TscAfter(START_TSC, DEFAULT_PERIOD_TICKS)),
                "restore 4",
                "install 0x0",
            }));

  EXPECT_EQ(Firmware().PcdRequests, std::vector<UINTN>{PCD_TSC_FREQUENCY_TOKEN});
  ASSERT_EQ(Firmware().InterruptHandlers.size(), 1u);
  EXPECT_EQ(Firmware().InterruptHandlers[LAPIC_TIMER_VECTOR], LapicTimerInterruptHandler);

  ASSERT_EQ(Firmware().Installed.size(), 1u);
  const InstalledInterface& Timer = Firmware().Installed.front();
  EXPECT_TRUE(SameGuid(
      Timer.Guid,
      EFI_GUID{0x26BACCB3, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}}));
  EXPECT_EQ(Timer.Interface, &mTimerProtocol);
  EXPECT_NE(Timer.Handle, nullptr);
  EXPECT_EQ(Timer.Handle, mProtocolHandle);
  EXPECT_EQ(
      std::count_if(Firmware().Database.begin(), Firmware().Database.end(),
                    [&](const InstalledInterface& Entry) { return Entry.Handle == Timer.Handle; }),
      1)
      << "the timer gets a handle of its own";

  EXPECT_EQ(mCurrentPeriod, DEFAULT_TIMER_PERIOD);
  EXPECT_EQ(mTscTicksPerSecond, TSC_FREQUENCY);
  EXPECT_EQ(Machine().HaltCount, 0);
}

TEST_P(DriverStartTest, FirmwareCoreDrivesTheInstalledTimer) {
  ASSERT_EQ(Start(), EFI_SUCCESS);
  auto* Timer = static_cast<EFI_TIMER_ARCH_PROTOCOL*>(*Firmware().Find(gEfiTimerArchProtocolGuid));

  EXPECT_EQ(Timer->RegisterHandler(Timer, RecordNotify), EFI_SUCCESS);
  constexpr UINT64 PERIOD = 100000; // 10 ms: 2 x 10^7 ticks
  EXPECT_EQ(Timer->SetTimerPeriod(Timer, PERIOD), EFI_SUCCESS);
  for (int Tick = 0; Tick < 3; ++Tick) {
    SCOPED_TRACE(Tick);
    Machine().Tsc = Machine().TscDeadline() + 300 * Tick; // a little late each time
    LogMark Mark;
    ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
    EXPECT_EQ(Mark.Events(), (std::vector<std::string>{"interrupt " + Hex(LAPIC_TIMER_VECTOR),
                                                       "raise 31", "write EOI=0x0", "tsc",
                                                       "deadline=" + Hex(Machine().Tsc + 20000000),
                                                       "notify 100000 at TPL 31", "restore 4"}));
  }

  UINT64 Period = 0;
  EXPECT_EQ(Timer->GetTimerPeriod(Timer, &Period), EFI_SUCCESS);
  EXPECT_EQ(Period, PERIOD);
  EXPECT_EQ(Timer->GenerateSoftInterrupt(Timer), EFI_SUCCESS);
  ASSERT_EQ(Notifications().size(), 4u);
  EXPECT_EQ(Notifications().back().Time, PERIOD);

  EXPECT_EQ(Timer->SetTimerPeriod(Timer, 0), EFI_SUCCESS);
  EXPECT_EQ(Machine().TscDeadline(), 0u);
  EXPECT_NE(Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) & LVT_MASK_BIT, 0u);
  // An interrupt already pending when the timer stopped.
  ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
  EXPECT_EQ(Machine().TscDeadline(), 0u);
  EXPECT_EQ(Timer->GenerateSoftInterrupt(Timer), EFI_UNSUPPORTED);
  ASSERT_EQ(Notifications().size(), 5u);
  EXPECT_EQ(Notifications().back().Time, 0u);
  EXPECT_EQ(Machine().HaltCount, 0);
}

// The spurious-interrupt vector register is written only to turn the APIC on; the LVT timer
// keeps every bit outside vector, mask and timer mode.
struct ApicProgrammingCase {
  UINT32 SpuriousVector;
  UINT32 LvtTimer;
  std::vector<std::string> Writes;
};

// The entry's LVT write: its own fields, and the bits Kept of what the register held.
std::string LvtWrite(UINT32 Kept) {
  return "write LVT=" + Hex(Kept | LVT_PROGRAMMED_MASKED);
}

TEST_F(DriverEntryTest, EnablesTheApicOnlyIfNeededAndKeepsForeignLvtBits) {
  const ApicProgrammingCase Cases[] = {
      {0x0FF, 0x10040, {"write SVR=0x1FF", LvtWrite(0)}},
      {0x1FF, 0x10040, {LvtWrite(0)}},
      {0xFFFFFFFF, 0xFFFFFFFF, {LvtWrite(0xFFF8FF00)}},
      {0x00000E0F, 0x000300FF, {"write SVR=0xF0F", LvtWrite(0)}},
  };
  for (const ApicProgrammingCase& Case : Cases) {
    SCOPED_TRACE(Hex(Case.LvtTimer));
    Prepare(false);
    Machine().ApicRegister(XAPIC_SPURIOUS_VECTOR_OFFSET) = Case.SpuriousVector;
    Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) = Case.LvtTimer;
    ASSERT_EQ(Start(), EFI_SUCCESS);
    std::vector<std::string> Writes;
    for (const std::string& Event : TimerEvents()) {
      if (Event == "register 0x0") {
        break; // what the entry itself writes before the timer starts
      }
      if (Event.rfind("write ", 0) == 0) {
        Writes.push_back(Event);
      }
    }
    EXPECT_EQ(Writes, Case.Writes);
    ExpectFirmwareUsedProperly();
  }
}

TEST_F(DriverEntryTest, ConfiguredFrequencyIsStoredZeroExtendedEvenWhenZero) {
  const UINT32 Frequencies[] = {0, 0xFFFFFFFF};
  for (UINT32 Frequency : Frequencies) {
    SCOPED_TRACE(Frequency);
    Prepare(false);
    Firmware().Pcd32[SimulatedFirmware::TSC_FREQUENCY_TOKEN] = Frequency;
    ASSERT_EQ(Start(), EFI_SUCCESS);
    EXPECT_EQ(mTscTicksPerSecond, UINT64{Frequency});
    const UINT64 Ticks = TscTicksOf(DEFAULT_TIMER_PERIOD, Frequency);
    EXPECT_EQ(Machine().TscDeadline(), TscAfter(START_TSC, Ticks));
    Machine().Tsc += 5000;
    ASSERT_TRUE(Firmware().DeliverInterrupt(LAPIC_TIMER_VECTOR));
    EXPECT_EQ(Machine().TscDeadline(), TscAfter(Machine().Tsc, Ticks));
    ExpectFirmwareUsedProperly();
  }
}

// Each way the start can fail: what goes to the serial port, what the entry returns, how far it
// got. Halts are released, as a debugger would.
struct FailureCase {
  const char* Condition;
  std::function<void()> Arrange;
  std::string Serial; // after the greeting, line numbers masked
  EFI_STATUS Result;
  int Halts;
  bool ApicWritten;
  bool HandlerRegistered;
  bool TimerArmed;
  size_t Installed;
};

TEST_F(DriverEntryTest, EveryFailureIsReportedAndAnsweredAsStated) {
  const std::string PcdLib = "Library/DxePcdLib/DxePcdLib.cpp";
  const FailureCase Cases[] = {
      {"no TSC-deadline mode", [] { Machine().SetCpuidLeaf1(6, true, false); },
       Message("LAPIC TSC-deadine mode is not supported. Unload LAPIC timer driver.\r\n"),
       EFI_DEVICE_ERROR, 0, false, false, false, 0},
      {"timer protocol already installed: reported, then the start goes on",
       [] { Firmware().InstallProtocol(gEfiTimerArchProtocolGuid, &Firmware().Pcd); },
       AssertionLine(DRIVER_FILE, "&gEfiTimerArchProtocolGuid already installed in database"),
       EFI_SUCCESS, 1, true, true, true, 1},
      {"a warning from the timer lookup counts as installed",
       [] { Firmware().FailLocate(gEfiTimerArchProtocolGuid, EFI_WARN_STALE_DATA); },
       AssertionLine(DRIVER_FILE, "&gEfiTimerArchProtocolGuid already installed in database"),
       EFI_SUCCESS, 1, true, true, true, 1},
      {"no CPU Architectural Protocol",
       [] { Firmware().FailLocate(gEfiCpuArchProtocolGuid, EFI_NOT_FOUND); },
       StatusCheck("Not Found", DRIVER_FILE) +
           AssertionLine(DRIVER_FILE, "mCpuArch != ((void *) 0)"),
       EFI_DEVICE_ERROR, 2, false, false, false, 0},
      {"CPU Architectural Protocol found without an interface",
       [] { Firmware().Database.front().Interface = nullptr; }, // the first entry after Reset
       AssertionLine(DRIVER_FILE, "mCpuArch != ((void *) 0)"), EFI_DEVICE_ERROR, 1, false, false,
       false, 0},
      {"no configuration database", [] { Firmware().FailLocate(gPcdProtocolGuid, EFI_NOT_FOUND); },
       StatusCheck("Not Found", PcdLib) + AssertionLine(PcdLib, "mPcd != ((void *) 0)"),
       EFI_DEVICE_ERROR, 2, false, false, false, 0},
      {"interrupt registration refused",
       [] { Firmware().RegisterInterruptStatus = EFI_ALREADY_STARTED; },
       StatusCheck("Already started", DRIVER_FILE) +
           Message("Unable to register LAPIC interrupt with CPU Arch Protocol. Unload LAPIC timer "
                   "driver.\r\n"),
       EFI_DEVICE_ERROR, 1, true, false, false, 0},
      {"installation refused: the running timer is left as it is",
       [] { Firmware().InstallStatus = EFI_OUT_OF_RESOURCES; },
       StatusCheck("Out of Resources", DRIVER_FILE), EFI_OUT_OF_RESOURCES, 1, true, true, true, 0},
      {"a warning from the installation is returned as it is",
       [] { Firmware().InstallStatus = EFI_WARN_STALE_DATA; }, "", EFI_WARN_STALE_DATA, 0, true,
       true, true, 1},
  };
  for (const FailureCase& Case : Cases) {
    SCOPED_TRACE(Case.Condition);
    Prepare(false);
    Case.Arrange();
    EXPECT_EQ(Start(), Case.Result);
    EXPECT_EQ(SerialWithLinesMasked(), GREETING + Case.Serial);
    EXPECT_EQ(Machine().HaltCount, Case.Halts);
    const std::vector<std::string> Events = TimerEvents();
    EXPECT_EQ(AnyEvent(Events, "write "), Case.ApicWritten);
    EXPECT_EQ(Firmware().InterruptHandlers.count(LAPIC_TIMER_VECTOR) != 0, Case.HandlerRegistered);
    EXPECT_EQ(Machine().TscDeadline() != 0, Case.TimerArmed);
    EXPECT_EQ(Firmware().Installed.size(), Case.Installed);
    if (!Case.ApicWritten) {
      EXPECT_FALSE(AnyEvent(Events, "read ")) << "the local APIC is not touched";
      EXPECT_EQ(mPcd, nullptr) << "nothing but the firmware table pointers is left behind";
      EXPECT_EQ(mTscTicksPerSecond, 0u);
    }
    ExpectFirmwareUsedProperly();
  }
}

// A debugger that releases the halt after a missing table must not send the entry through a null
// pointer; a missing image handle leaves every table the start needs.
TEST_F(DriverEntryTest, OnlyMissingFirmwareTablesEndTheStartAfterTheReport) {
  const std::string BindingLib = "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.cpp";
  EXPECT_EQ(LapicTimerDriverEntry(Firmware().ImageHandle, nullptr), EFI_DEVICE_ERROR);
  EXPECT_EQ(SerialWithLinesMasked(), AssertionLine(BindingLib, "gST != ((void *) 0)") +
                                         AssertionLine(BindingLib, "gBS != ((void *) 0)"));
  EXPECT_EQ(TimerEvents(), (std::vector<std::string>{"halt", "halt"}))
      << "nothing after the reports";

  Prepare(false);
  Firmware().SystemTableData.BootServices = nullptr;
  EXPECT_EQ(Start(), EFI_DEVICE_ERROR);
  EXPECT_EQ(SerialWithLinesMasked(), AssertionLine(BindingLib, "gBS != ((void *) 0)"));
  EXPECT_EQ(TimerEvents(), std::vector<std::string>{"halt"}) << "nothing after the report";

  Prepare(false);
  EXPECT_EQ(StartLapicTimer(nullptr, Firmware().SystemTable(), TimerModeSetting::TscDeadline),
            EFI_SUCCESS);
  EXPECT_EQ(SerialWithLinesMasked(),
            AssertionLine(BindingLib, "gImageHandle != ((void *) 0)") + GREETING);
}

} // namespace
