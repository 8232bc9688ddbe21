// The board check run whole on a simulated PC: a Tiger Lake part whose TSC runs at 20 MHz, an 8254
// and a PM timer that count at their rates, ACPI tables, a configuration database, a UART and a
// console. Inspect must leave it as it was; the exercise must time its deadlines and put back what
// it touched; firmware and hardware that lack something are reported, and the check returns.
#include "TimerTestSupport.h"

#include "UefiDefinitions/AcpiTables.h"
#include "UefiDefinitions/TimerArchProtocol.h"

#include <cstring>
#include <functional>
#include <set>
#include <sstream>

extern "C" EFI_STATUS EFIAPI BoardCheckEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

namespace {
constexpr UINT64 TSC_HZ = 20000000;
constexpr UINT16 PM_TIMER_PORT = 0x408;
constexpr UINT32 LVT_MASKED_AT_RESET = 0x10000;
constexpr UINT32 LVT_TIMER = 0x320;
constexpr UINT32 TSC_DEADLINE_MSR = 0x6E0;

using TimerTesting::Hex;

UINT64 Number(const std::string& Text) {
  return std::stoull(Text);
}

class BoardCheckRun : public MachineTest {
public:
  // The ACPI tables: root pointer, XSDT with one entry, and a FADT whose X_PM_TMR_BLK is an I/O
  // port.
  ACPI_ROOT_POINTER Root{};
  struct {
    ACPI_DESCRIPTION_HEADER Header;
    UINT32 Entries[2]; // one 64-bit address on a 4-byte boundary, as firmware lays it out
  } Xsdt{};
  ACPI_FADT_TIMER_FIELDS Fadt{};
  // Delivers the deadline's interrupt once the TSC comes within Early ticks of it.
  bool DeadlineFires = true;
  UINT64 Early = 0;

  void SetUp() override {
    MachineTest::SetUp();
    Root = {};
    Xsdt = {};
    Fadt = {};
    DeadlineFires = true;
    Early = 0;
    SimulatedMachine& M = Machine();
    M.CpuidLeaves[0] = {0x16, 0x756E6547, 0x6C65746E, 0x49656E69}; // GenuineIntel
    M.CpuidLeaves[1] = {0x806C1, 0, (1u << 21) | (1u << 24), 0};
    M.CpuidLeaves[6] = {1u << 2, 0, 0, 0};
    M.CpuidLeaves[0x15] = {2, 126, 38400000, 0};
    M.CpuidLeaves[0x16] = {2400, 0, 0, 0};
    M.CpuidLeaves[0x80000000] = {0x80000008, 0, 0, 0};
    M.CpuidLeaves[0x80000007] = {0, 0, 0, 1u << 8};
    M.MicrocodeRevision = 0x86;
    M.SetApicBaseMsr(SimulatedMachine::DEFAULT_APIC_BASE, true, false);
    M.ApicRegister(LVT_TIMER) = LVT_MASKED_AT_RESET;
    M.ApicRegister(0xF0) = 0x1FF;
    M.TscHz = TSC_HZ;
    M.TscPerAccess = 100;
    M.Tsc = 1ULL << 32;
    M.PmTimerPort = PM_TIMER_PORT;
    Firmware().Pcd32[PCD_TSC_FREQUENCY_TOKEN] = TSC_HZ;

    Root.Signature = ACPI_RSDP_SIGNATURE;
    Root.Revision = ACPI_RSDP_REVISION_WITH_XSDT;
    Root.XsdtAddress = reinterpret_cast<UINTN>(&Xsdt);
    Xsdt.Header = {ACPI_XSDT_SIGNATURE, sizeof(Xsdt), 1, 0, {}, {}, 0, 0, 0};
    const UINT64 FadtAddress = reinterpret_cast<UINTN>(&Fadt);
    std::memcpy(Xsdt.Entries, &FadtAddress, sizeof(FadtAddress));
    Fadt.Header = {ACPI_FADT_SIGNATURE, sizeof(Fadt), 6, 0, {}, {}, 0, 0, 0};
    Fadt.XPmTimerBlock = {ACPI_ADDRESS_SPACE_SYSTEM_IO, 32, 0, 3, PM_TIMER_PORT};
    Firmware().ConfigurationTables = {{gEfiAcpi20TableGuid, &Root}};
    Firmware().PublishTables();

    // The local APIC's timer in TSC-deadline mode: when the TSC reaches the deadline, the deadline
    // clears and the LVT's vector is raised, if unmasked, once the TPL lets interrupts in.
    Machine().AfterAccess = [this, Delivering = false](const HardwareAccessRecord&) mutable {
      const UINT32 Lvt = Machine().ApicRegister(LVT_TIMER);
      const UINT64 Deadline = Machine().TscDeadline();
      if (Delivering || !DeadlineFires || Deadline == 0 || Machine().Tsc + Early < Deadline ||
          (Lvt & TimerTesting::LVT_MASK_BIT) != 0 || (Lvt >> 17 & 3) != 2 ||
          Firmware().CurrentTpl >= TPL_HIGH_LEVEL) {
        return;
      }
      Delivering = true;
      Machine().Msrs[TSC_DEADLINE_MSR] = 0;
      Firmware().DeliverInterrupt(Lvt & 0xFF);
      Delivering = false;
    };
  }

  EFI_STATUS Run(const std::u16string& Options = u"") {
    Firmware().SetLoadOptions(Options);
    return BoardCheckEntry(Firmware().ImageHandle, Firmware().SystemTable());
  }

  // The console's lines as (name, value), each checked to end in CR LF.
  static std::vector<std::pair<std::string, std::string>> Lines() {
    std::vector<std::pair<std::string, std::string>> Found;
    std::istringstream Text(Firmware().ConsoleText());
    for (std::string Line; std::getline(Text, Line);) {
      if (Line.empty() || Line.back() != '\r') {
        ADD_FAILURE() << "no carriage return before the line feed: " << Line;
      } else {
        Line.pop_back();
      }
      const size_t Colon = Line.find(": ");
      Found.push_back(
          {Line.substr(0, Colon), Colon == std::string::npos ? "" : Line.substr(Colon + 2)});
    }
    return Found;
  }
  static std::string Line(const std::string& Name) {
    for (const auto& [Found, Value] : Lines()) {
      if (Found == Name) {
        return Value;
      }
    }
    return "(no line " + Name + ")";
  }
};

// Within 1% of the simulated rate, as the 8254 or the PM timer measured it.
void ExpectRate(const std::string& Value) {
  SCOPED_TRACE(Value);
  const UINT64 Hz = Number(Value);
  EXPECT_LE((Hz > TSC_HZ ? Hz - TSC_HZ : TSC_HZ - Hz) * 100, TSC_HZ);
}

TEST_F(BoardCheckRun, InspectChangesNothingAndReportsTheBoard) {
  Machine().SystemControl = 0x0C;
  Machine().UartScratch = 0x5A;
  ASSERT_EQ(Run(u"VeskBoardCheck.efi"), EFI_SUCCESS);

  const std::set<UINT64> PortsWritten = {0x42, 0x43, 0x61, DEBUG_UART_BASE + 7u};
  for (const HardwareAccessRecord& Access : Machine().Log) {
    SCOPED_TRACE(Hex(Access.Address));
    EXPECT_NE(Access.Kind, AccessKind::DeviceWrite);
    EXPECT_NE(Access.Kind, AccessKind::Fault);
    if (Access.Kind == AccessKind::MsrWrite) {
      EXPECT_EQ(Access.Address, 0x8Bu); // cleared for the microcode revision, and nothing else
      EXPECT_EQ(Access.Value, 0u);
    }
    EXPECT_FALSE(Access.Kind == AccessKind::MsrRead && Access.Address == TSC_DEADLINE_MSR);
    EXPECT_TRUE(Access.Kind != AccessKind::PortWrite || PortsWritten.count(Access.Address) != 0);
    EXPECT_TRUE(Access.Kind != AccessKind::FirmwareCall ||
                Access.Address == static_cast<UINT64>(FirmwareService::LocateProtocol) ||
                Access.Address == static_cast<UINT64>(FirmwareService::HandleProtocol) ||
                Access.Address == static_cast<UINT64>(FirmwareService::PcdGet32));
  }
  EXPECT_EQ(Machine().SystemControl, 0x0C);
  EXPECT_EQ(Machine().UartScratch, 0x5A);
  EXPECT_EQ(Machine().ApicRegister(LVT_TIMER), LVT_MASKED_AT_RESET);
  EXPECT_TRUE(Firmware().TplBalanced());

  std::vector<std::string> Names;
  for (const auto& [Name, Value] : Lines()) {
    Names.push_back(Name);
  }
  EXPECT_EQ(Names, (std::vector<std::string>{"board-check",     "cpu-vendor",    "cpu-signature",
                                             "cpu-microcode",   "hypervisor",    "tsc-deadline",
                                             "x2apic",          "invariant-tsc", "arat",
                                             "apic-mode",       "lvt-timer",     "tsc-hz-cpuid-15",
                                             "tsc-hz-cpuid-16", "tsc-hz-pit",    "tsc-hz-pm-timer",
                                             "tsc-hz-measured", "pcd-tsc-hz",    "uart",
                                             "present-timer",   "verdict",       "settings"}));
  EXPECT_EQ(Line("board-check"), "inspect");
  EXPECT_EQ(Line("cpu-signature"), "family 0x6, model 0x8C, stepping 1");
  EXPECT_EQ(Line("cpu-microcode"), "0x86");
  EXPECT_EQ(Line("lvt-timer"), "vector 0x0, mode one-shot, masked");
  EXPECT_EQ(Line("tsc-hz-cpuid-15"), "2419200000");
  EXPECT_EQ(Line("tsc-hz-cpuid-16"), "2400000000");
  ExpectRate(Line("tsc-hz-pit"));
  ExpectRate(Line("tsc-hz-pm-timer"));
  EXPECT_EQ(Line("tsc-hz-measured"), Line("tsc-hz-pit").substr(0, 8) + " (8254)");
  EXPECT_EQ(Line("uart"), "present at " + Hex(DEBUG_UART_BASE));
  EXPECT_EQ(Line("verdict"), "suits");
  // Inspect registers no handler, so it names no vector.
  EXPECT_EQ(Line("settings"),
            "-DVESK_TSC_FREQUENCY_TOKEN=" + std::to_string(PCD_TSC_FREQUENCY_TOKEN) +
                " -DVESK_DEBUG_UART_PORT=" + Hex(DEBUG_UART_BASE));
}

struct ExerciseCase {
  const char* Name;
  std::function<void(BoardCheckRun&)> Arrange;
  std::string Exercise;   // the exercise line
  std::string Fired = ""; // the next two lines, when it ran
  std::string Early = "";
};

TEST_F(BoardCheckRun, ExerciseTimesDeadlinesAndPutsBackWhatItTouched) {
  const auto Take = [](UINT32 First, UINT32 Last) {
    for (UINT32 Vector = First; Vector <= Last; ++Vector) {
      Firmware().InterruptHandlers[Vector] = reinterpret_cast<EFI_CPU_INTERRUPT_HANDLER>(1);
    }
  };
  const std::string Ran = "100 deadlines 1 ms apart on vector ";
  const ExerciseCase Cases[] = {
      {"idle timer", [](BoardCheckRun&) {}, Ran + Hex(LAPIC_TIMER_VECTOR), "100 of 100", "0"},
      {"x2APIC", [](BoardCheckRun&) { Machine().SetApicBaseMsr(0, true, true); },
       Ran + Hex(LAPIC_TIMER_VECTOR), "100 of 100", "0"},
      {"vector taken", [&](BoardCheckRun&) { Take(LAPIC_TIMER_VECTOR, LAPIC_TIMER_VECTOR); },
       Ran + Hex(LAPIC_TIMER_VECTOR + 1), "100 of 100", "0"},
      {"interrupts early", [](BoardCheckRun& T) { T.Early = 1000; }, Ran + Hex(LAPIC_TIMER_VECTOR),
       "100 of 100", "100"},
      {"no interrupts", [](BoardCheckRun& T) { T.DeadlineFires = false; },
       Ran + Hex(LAPIC_TIMER_VECTOR), "0 of 100", "0"},
      {"every vector taken", [&](BoardCheckRun&) { Take(LAPIC_TIMER_VECTOR, 0xFF); },
       "not run: no free vector"},
      {"timer running",
       [](BoardCheckRun&) {
         Machine().ApicRegister(LVT_TIMER) = 0x40040;
         Machine().Msrs[TSC_DEADLINE_MSR] = 1ULL << 40;
       },
       "not run: the platform's timer uses the local APIC timer"},
      {"no CPU protocol",
       [](BoardCheckRun&) { Firmware().FailLocate(gEfiCpuArchProtocolGuid, EFI_NOT_FOUND); },
       "not run: no CPU Architectural Protocol"},
      {"no TSC-deadline, the timer unmasked but idle",
       [](BoardCheckRun&) {
         Machine().CpuidLeaves[1].Ecx = 0, Machine().ApicRegister(LVT_TIMER) = 0;
       },
       "not run: no TSC-deadline mode"},
  };
  for (const ExerciseCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    SetUp();
    Case.Arrange(*this);
    const UINT32 Lvt = Machine().ApicRegister(LVT_TIMER);
    const UINT64 Deadline = Machine().TscDeadline();
    const auto Handlers = Firmware().InterruptHandlers;
    ASSERT_EQ(Run(u"--exercise"), EFI_SUCCESS);
    EXPECT_EQ(Line("exercise"), Case.Exercise);
    EXPECT_EQ(Line("exercise-fired"), Case.Fired.empty() ? "(no line exercise-fired)" : Case.Fired);
    EXPECT_EQ(Line("exercise-early"), Case.Early.empty() ? "(no line exercise-early)" : Case.Early);
    // The vector it ran on was free: the one to build with. Without a run, none is named.
    const std::string VectorSetting =
        Case.Fired.empty() ? "-DVESK_TSC"
                           : "-DVESK_TIMER_VECTOR=" + Case.Exercise.substr(Ran.size());
    EXPECT_EQ(Line("settings").rfind(VectorSetting, 0), 0u) << Line("settings");
    EXPECT_EQ(Machine().ApicRegister(LVT_TIMER), Lvt);
    EXPECT_EQ(Machine().TscDeadline(), Deadline);
    EXPECT_EQ(Firmware().InterruptHandlers, Handlers);
    EXPECT_TRUE(Firmware().TplBalanced());
    EXPECT_TRUE(Machine().Accesses(AccessKind::Fault).empty()) << "an access that faults";
  }
}

TEST_F(BoardCheckRun, LatenciesInTicksAndMicrosecondsAgree) {
  ASSERT_EQ(Run(u"--exercise"), EFI_SUCCESS);
  double Ticks[3];
  double Microseconds[3];
  const char* Figures = "min %lf, mean %lf, max %lf";
  ASSERT_EQ(
      std::sscanf(Line("exercise-latency-tsc").c_str(), Figures, &Ticks[0], &Ticks[1], &Ticks[2]),
      3);
  ASSERT_EQ(std::sscanf(Line("exercise-latency-us").c_str(), Figures, &Microseconds[0],
                        &Microseconds[1], &Microseconds[2]),
            3);
  // The simulated APIC raises the interrupt at the first access past the deadline, and the handler
  // reads the TSC a few accesses later: a small latency, never none.
  EXPECT_TRUE(0 < Ticks[0] && Ticks[0] <= Ticks[1] && Ticks[1] <= Ticks[2] && Ticks[2] < 1000);
  const double Hz = static_cast<double>(Number(Line("tsc-hz-measured")));
  for (int Index = 0; Index < 3; ++Index) {
    EXPECT_NEAR(Microseconds[Index], Ticks[Index] * 1e6 / Hz, 0.0005 + 1e-9);
  }
}

struct FirmwareCase {
  const char* Name;
  std::function<void(BoardCheckRun&)> Arrange;
  std::string LineName;
  std::string Value; // empty: a measured rate; ending in "...": what the line starts with
  std::string Verdict;
};

// Equal, or for an expectation ending in "..." (a figure measured on the way), its start.
void ExpectLine(const std::string& Got, const std::string& Expected) {
  const size_t Length = Expected.size() - 3;
  if (Expected.size() > 3 && Expected.substr(Length) == "...") {
    EXPECT_EQ(Got.substr(0, Length), Expected.substr(0, Length));
  } else {
    EXPECT_EQ(Got, Expected);
  }
}

TEST_F(BoardCheckRun, WhatIsMissingIsSaidAndTheCheckGoesOn) {
  const std::string Port = Hex(DEBUG_UART_BASE);
  const std::string Token = std::to_string(PCD_TSC_FREQUENCY_TOKEN);
  const FirmwareCase Cases[] = {
      {"no database",
       [](BoardCheckRun&) { Firmware().FailLocate(gPcdProtocolGuid, EFI_NOT_FOUND); }, "pcd-tsc-hz",
       "no configuration database", "suits, with warnings: no configuration database"},
      {"token unknown", [](BoardCheckRun&) { Firmware().Pcd32[PCD_TSC_FREQUENCY_TOKEN] = 0; },
       "pcd-tsc-hz", "token " + Token + " not answered",
       "suits, with warnings: token " + Token + " not answered"},
      {"twice the rate", [](BoardCheckRun&) { Firmware().Pcd32[PCD_TSC_FREQUENCY_TOKEN] *= 2; },
       "pcd-tsc-hz", "40000000 (token " + Token + "), ...",
       "does not suit: configuration database rate 40000000 Hz is ..."},
      {"no ACPI",
       [](BoardCheckRun&) { Firmware().ConfigurationTables.clear(), Firmware().PublishTables(); },
       "tsc-hz-pm-timer", "no ACPI tables", "suits"},
      {"no FADT", [](BoardCheckRun& T) { T.Xsdt.Header.Length = sizeof(ACPI_DESCRIPTION_HEADER); },
       "tsc-hz-pm-timer", "no FADT", "suits"},
      {"no PM timer", [](BoardCheckRun& T) { T.Fadt.XPmTimerBlock.Address = 0; }, "tsc-hz-pm-timer",
       "no PM timer in the FADT", "suits"},
      {"PM timer in memory space, 32 bits at PM_TMR_BLK",
       [](BoardCheckRun& T) {
         T.Fadt.XPmTimerBlock.AddressSpaceId = 0;
         T.Fadt.PmTimerBlock = PM_TIMER_PORT;
         T.Fadt.Flags = ACPI_FADT_TMR_VAL_EXT;
         Machine().PmTimer32Bits = true;
       },
       "tsc-hz-pm-timer", "", "suits"},
      {"FADT of ACPI 1.0, without X_PM_TMR_BLK",
       [](BoardCheckRun& T) {
         T.Fadt.Header.Length = 116;
         T.Fadt.PmTimerBlock = PM_TIMER_PORT;
       },
       "tsc-hz-pm-timer", "", "suits"},
      {"root pointer of ACPI 1.0", [](BoardCheckRun& T) { T.Root.Revision = 0; }, "tsc-hz-pm-timer",
       "no ACPI tables", "suits"},
      {"8254 stopped: the PM timer measures", [](BoardCheckRun&) { Machine().PitCounts = false; },
       "tsc-hz-pit", "no count (the 8254 did not count)", "suits"},
      {"no 8254: port 0x61 floats", [](BoardCheckRun&) { Machine().SystemControlFloats = true; },
       "tsc-hz-pit", "no count (the 8254 did not count)", "suits"},
      {"no clock counts",
       [](BoardCheckRun&) { Machine().PitCounts = false, Machine().PmTimerPort = 0x500; },
       "tsc-hz-pit", "no count (the 8254 did not count)",
       "suits, with warnings: no reference clock"},
      {"TSC stands still", [](BoardCheckRun&) { Machine().TscPerAccess = 0; }, "tsc-hz-measured",
       "none", "suits, with warnings: no reference clock"},
      {"no UART", [](BoardCheckRun&) { Machine().UartScratchPresent = false; }, "uart",
       "absent at " + Port, "suits, with warnings: no UART at " + Port},
      {"a timer there",
       [](BoardCheckRun&) {
         static EFI_TIMER_ARCH_PROTOCOL Timer = {nullptr, nullptr,
                                                 [](EFI_TIMER_ARCH_PROTOCOL*, UINT64* Period)
                                                     EFIAPI {
                                                       *Period = 100000;
                                                       return EFI_SUCCESS;
                                                     },
                                                 nullptr};
         Firmware().InstallProtocol(gEfiTimerArchProtocolGuid, &Timer);
       },
       "present-timer", "period 100000", "suits"},
      {"hypervisor", [](BoardCheckRun&) { Machine().CpuidLeaves[1].Ecx |= 1u << 31; },
       "cpu-microcode", "not read (under a hypervisor)",
       "suits, with warnings: under a hypervisor"},
      {"APIC off", [](BoardCheckRun&) { Machine().SetApicBaseMsr(0xFEE00000, false, false); },
       "lvt-timer", "not read (the local APIC is disabled)",
       "suits, with warnings: local APIC disabled"},
  };
  for (const FirmwareCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    SetUp();
    Case.Arrange(*this);
    ASSERT_EQ(Run(), EFI_SUCCESS);
    const std::string Value = Line(Case.LineName);
    if (Case.Value.empty()) {
      ExpectRate(Value);
    } else {
      ExpectLine(Value, Case.Value);
    }
    ExpectLine(Line("verdict"), Case.Verdict);
    // The settings name only what was found: the token that gave the measured rate, the port
    // where a UART answered.
    const std::string Settings = Line("settings");
    EXPECT_EQ(Settings.find("-DVESK_TSC_FREQUENCY_TOKEN=") != std::string::npos,
              Line("pcd-tsc-hz").find("per mille") != std::string::npos &&
                  Case.Verdict.find("configuration database") == std::string::npos);
    EXPECT_EQ(Settings.find("-DVESK_DEBUG_UART_PORT=") != std::string::npos,
              Line("uart").rfind("present", 0) == 0);
    EXPECT_TRUE(Firmware().TplBalanced());
    EXPECT_TRUE(Machine().Accesses(AccessKind::Fault).empty()) << "an access that faults";
  }

  // Without a console it prints nothing, and still runs to the end.
  SetUp();
  Firmware().SystemTableData.ConOut = nullptr;
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_TRUE(Firmware().ConsoleWritten.empty());
  EXPECT_FALSE(Machine().Accesses(AccessKind::PortRead).empty());
}

TEST_F(BoardCheckRun, BadOptionsGetTheUsageAndTouchNothing) {
  const std::pair<std::u16string, std::string> Cases[] = {
      {u"VeskBoardCheck.efi --fast", "board-check: unknown option '--fast'"},
      {u"--port", "board-check: --port needs a number"},
      {u"--token 0x1FFFFFFFF", "board-check: --token takes a number, not '0x1FFFFFFFF'"},
  };
  for (const auto& [Options, Complaint] : Cases) {
    SetUp();
    EXPECT_EQ(Run(Options), EFI_INVALID_PARAMETER);
    const std::string Text = Firmware().ConsoleText();
    EXPECT_EQ(Text.substr(0, Text.find('\r')), Complaint);
    // The usage's last line, whole: nothing was cut.
    EXPECT_EQ(Text.substr(Text.rfind("  N, P")),
              "  N, P: decimal without leading zeros, or 0x and hexadecimal digits\r\n");
    for (const HardwareAccessRecord& Access : Machine().Log) {
      EXPECT_EQ(Access.Kind, AccessKind::FirmwareCall) << "the hardware was touched";
    }
  }
}

} // namespace
