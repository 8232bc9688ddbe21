// The board check run whole on a simulated PC: a Tiger Lake part whose TSC runs at 20 MHz and whose
// local APIC timer counts at 24 MHz, an 8254 and a PM timer that count at their rates, ACPI tables,
// a configuration database, a UART and a console. Inspect and the exercise must put back what they
// touched; the exercise must time its deadlines in the mode an auto build takes; firmware and
// hardware that lack something are reported, and the check returns, with a failure status exactly
// when the board does not suit.
#include "TimerTestSupport.h"

#include "UefiDefinitions/AcpiTables.h"
#include "UefiDefinitions/TimerArchProtocol.h"

#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <set>
#include <sstream>

extern "C" EFI_STATUS EFIAPI BoardCheckEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

namespace {
constexpr UINT64 TSC_HZ = 20000000;
constexpr UINT64 APIC_TIMER_HZ = 24000000;
constexpr UINT16 PM_TIMER_PORT = 0x408;
constexpr UINT32 LVT_MASKED_AT_RESET = 0x10000;
constexpr UINT32 LVT_TIMER = 0x320;
constexpr UINT32 INITIAL_COUNT = 0x380;
constexpr UINT32 DIVIDE = 0x3E0;
constexpr UINT32 SPURIOUS = 0xF0;
constexpr UINT32 TSC_DEADLINE_MSR = 0x6E0;

using TimerTesting::Hex;

UINT64 Number(const std::string& Text) {
  return std::stoull(Text);
}

// The ACPI tables: root pointer, XSDT and RSDT with one entry each, and a FADT whose X_PM_TMR_BLK
// is an I/O port. They lie below 4 GiB, where an RSDT's 32-bit entries reach.
struct AcpiTables {
  ACPI_ROOT_POINTER Root;
  struct {
    ACPI_DESCRIPTION_HEADER Header;
    UINT32 Entries[2]; // one 64-bit address on a 4-byte boundary, as firmware lays it out
  } Xsdt;
  struct {
    ACPI_DESCRIPTION_HEADER Header;
    UINT32 Entry;
  } Rsdt;
  ACPI_FADT_TIMER_FIELDS Fadt;
};

// The checksum byte that makes Bytes of Table sum to 0.
void Seal(UINT8& Checksum, const VOID* Table, size_t Bytes) {
  Checksum = 0;
  UINT8 Sum = 0;
  for (size_t Index = 0; Index < Bytes; ++Index) {
    Sum = static_cast<UINT8>(Sum + static_cast<const UINT8*>(Table)[Index]);
  }
  Checksum = static_cast<UINT8>(-Sum);
}

class BoardCheckRun : public MachineTest {
public:
  AcpiTables& Acpi =
      *static_cast<AcpiTables*>(mmap(nullptr, sizeof(AcpiTables), PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
  ACPI_ROOT_POINTER& Root = Acpi.Root;
  decltype(Acpi.Xsdt)& Xsdt = Acpi.Xsdt;
  ACPI_FADT_TIMER_FIELDS& Fadt = Acpi.Fadt;
  UINT8* Corrupt = nullptr; // a byte made wrong once the checksums are right
  std::u16string Options;
  // Delivers the timer's interrupt once the TSC comes within Early ticks of its deadline or expiry.
  bool DeadlineFires = true;
  UINT64 Early = 0;

  ~BoardCheckRun() override { munmap(&Acpi, sizeof(AcpiTables)); }

  void SetUp() override {
    MachineTest::SetUp();
    Acpi = {};
    Corrupt = nullptr;
    Options.clear();
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
    M.ApicRegister(SPURIOUS) = 0x1FF;
    M.TscHz = TSC_HZ;
    M.ApicTimerHz = APIC_TIMER_HZ;
    M.TscPerAccess = 100;
    M.Tsc = 1ULL << 32;
    M.PmTimerPort = PM_TIMER_PORT;
    Firmware().Pcd32[PCD_TSC_FREQUENCY_TOKEN] = TSC_HZ;

    Root.Signature = ACPI_RSDP_SIGNATURE;
    Root.Revision = ACPI_RSDP_REVISION_WITH_XSDT;
    Root.Length = sizeof(Root);
    Root.XsdtAddress = reinterpret_cast<UINTN>(&Xsdt);
    Root.RsdtAddress = static_cast<UINT32>(reinterpret_cast<UINTN>(&Acpi.Rsdt));
    Xsdt.Header = {ACPI_XSDT_SIGNATURE, sizeof(Xsdt), 1, 0, {}, {}, 0, 0, 0};
    const UINT64 FadtAddress = reinterpret_cast<UINTN>(&Fadt);
    std::memcpy(Xsdt.Entries, &FadtAddress, sizeof(FadtAddress));
    Acpi.Rsdt = {{ACPI_RSDT_SIGNATURE, sizeof(Acpi.Rsdt), 1, 0, {}, {}, 0, 0, 0},
                 static_cast<UINT32>(FadtAddress)};
    Fadt.Header = {ACPI_FADT_SIGNATURE, sizeof(Fadt), 6, 0, {}, {}, 0, 0, 0};
    Fadt.XPmTimerBlock = {ACPI_ADDRESS_SPACE_SYSTEM_IO, 32, 0, 3, PM_TIMER_PORT};
    Firmware().ConfigurationTables = {{gEfiAcpi20TableGuid, &Root}};
    Firmware().PublishTables();

    // The local APIC's timer: when the TSC reaches the deadline (TSC-deadline mode) or the count
    // runs out (one-shot mode), the deadline or count clears and the LVT's vector is raised, if
    // unmasked, once the TPL lets interrupts in.
    Machine().AfterAccess = [this, Delivering = false](const HardwareAccessRecord&) mutable {
      SimulatedMachine& M = Machine();
      const UINT32 Lvt = M.ApicRegister(LVT_TIMER);
      const UINT32 Mode = Lvt >> 17 & 3;
      const UINT64 Due = Mode == 2 ? M.TscDeadline() : Mode == 0 ? M.ApicTimerExpiry() : 0;
      if (Delivering || !DeadlineFires || Due == 0 || M.Tsc + Early < Due ||
          (Lvt & TimerTesting::LVT_MASK_BIT) != 0 || Firmware().CurrentTpl >= TPL_HIGH_LEVEL) {
        return;
      }
      Delivering = true;
      M.Msrs[TSC_DEADLINE_MSR] = 0;
      M.ApicRegister(INITIAL_COUNT) = 0;
      Firmware().DeliverInterrupt(Lvt & 0xFF);
      Delivering = false;
    };
  }

  // Runs the check with Options, the tables sealed (and then the Corrupt byte broken). Whatever the
  // board: the status is EFI_UNSUPPORTED exactly when the verdict is "does not suit", every TPL
  // raised is restored, nothing faults, and the 8254's ports are written only at TPL_NOTIFY or
  // above, where no firmware callback can write port 0x61 between a round's save and its restore.
  EFI_STATUS Run(const std::u16string& Given = u"") {
    Seal(Root.Checksum, &Root, ACPI_RSDP_V1_BYTES);
    Seal(Root.ExtendedChecksum, &Root, sizeof(Root));
    Seal(Xsdt.Header.Checksum, &Xsdt, std::min<size_t>(Xsdt.Header.Length, sizeof(Xsdt)));
    Seal(Acpi.Rsdt.Header.Checksum, &Acpi.Rsdt, sizeof(Acpi.Rsdt));
    Seal(Fadt.Header.Checksum, &Fadt, std::min<size_t>(Fadt.Header.Length, sizeof(Fadt)));
    if (Corrupt != nullptr) {
      ++*Corrupt;
    }
    Firmware().SetLoadOptions(Given.empty() ? Options : Given);
    const EFI_STATUS Status = BoardCheckEntry(Firmware().ImageHandle, Firmware().SystemTable());
    const bool DoesNotSuit = Line("verdict").rfind("does not suit", 0) == 0;
    EXPECT_TRUE(Status == EFI_INVALID_PARAMETER || Status == (DoesNotSuit ? EFI_UNSUPPORTED : 0));
    EXPECT_TRUE(Firmware().TplBalanced());
    EFI_TPL Tpl = TPL_APPLICATION;
    for (const HardwareAccessRecord& Access : Machine().Log) {
      Tpl = Access.Kind == AccessKind::RaiseTpl || Access.Kind == AccessKind::RestoreTpl
                ? Access.Address
                : Tpl;
      EXPECT_NE(Access.Kind, AccessKind::Fault) << Hex(Access.Address);
      EXPECT_FALSE(Access.Kind == AccessKind::PortWrite && Access.Address <= 0x61 &&
                   Tpl < TPL_NOTIFY);
    }
    return Status;
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
void ExpectRate(const std::string& Value, UINT64 Rate = TSC_HZ) {
  SCOPED_TRACE(Value);
  const UINT64 Hz = Number(Value);
  EXPECT_LE((Hz > Rate ? Hz - Rate : Rate - Hz) * 100, Rate);
}

TEST_F(BoardCheckRun, InspectPutsBackWhatItWritesAndReportsTheBoard) {
  Machine().SystemControl = 0x0C;
  Machine().UartScratch = 0x5A;
  Machine().ApicRegister(DIVIDE) = 0x3;
  ASSERT_EQ(Run(u"VeskBoardCheck.efi"), EFI_SUCCESS);

  // The 8254's ports and the UART's scratch register; the APIC timer's registers, to measure it.
  const std::set<UINT64> PortsWritten = {0x42, 0x43, 0x61, DEBUG_UART_BASE + 7u};
  const std::set<UINT64> ApicWritten = {LVT_TIMER, INITIAL_COUNT, DIVIDE, SPURIOUS};
  for (const HardwareAccessRecord& Access : Machine().Log) {
    SCOPED_TRACE(Hex(Access.Address));
    EXPECT_TRUE(Access.Kind != AccessKind::DeviceWrite ||
                ApicWritten.count(Access.Address - SimulatedMachine::DEFAULT_APIC_BASE) != 0);
    if (Access.Kind == AccessKind::MsrWrite) {
      EXPECT_EQ(Access.Address, 0x8Bu); // cleared for the microcode revision, and nothing else
      EXPECT_EQ(Access.Value, 0u);
    }
    EXPECT_TRUE(Access.Kind != AccessKind::PortWrite || PortsWritten.count(Access.Address) != 0);
    EXPECT_TRUE(Access.Kind != AccessKind::FirmwareCall ||
                Access.Address == static_cast<UINT64>(FirmwareService::LocateProtocol) ||
                Access.Address == static_cast<UINT64>(FirmwareService::HandleProtocol) ||
                Access.Address == static_cast<UINT64>(FirmwareService::PcdGet32));
  }
  EXPECT_EQ(Machine().SystemControl, 0x0C);
  EXPECT_EQ(Machine().UartScratch, 0x5A);
  EXPECT_EQ(Machine().ApicRegister(LVT_TIMER), LVT_MASKED_AT_RESET);
  EXPECT_EQ(Machine().ApicRegister(DIVIDE), 0x3u);
  EXPECT_EQ(Machine().ApicRegister(SPURIOUS), 0x1FFu);
  EXPECT_EQ(Machine().ApicRegister(INITIAL_COUNT), 0u);

  std::vector<std::string> Names;
  for (const auto& [Name, Value] : Lines()) {
    Names.push_back(Name);
  }
  EXPECT_EQ(Names, (std::vector<std::string>{"board-check",     "cpu-vendor",    "cpu-signature",
                                             "cpu-microcode",   "hypervisor",    "tsc-deadline",
                                             "x2apic",          "invariant-tsc", "arat",
                                             "apic-mode",       "lvt-timer",     "tsc-hz-cpuid-15",
                                             "tsc-hz-cpuid-16", "tsc-hz-pit",    "tsc-hz-pm-timer",
                                             "tsc-hz-measured", "apic-timer-hz", "timer-mode-auto",
                                             "pcd-tsc-hz",      "uart",          "present-timer",
                                             "verdict",         "settings"}));
  EXPECT_EQ(Line("board-check"), "inspect");
  EXPECT_EQ(Line("cpu-signature"), "family 0x6, model 0x8C, stepping 1");
  EXPECT_EQ(Line("cpu-microcode"), "0x86");
  EXPECT_EQ(Line("lvt-timer"), "vector 0x0, mode one-shot, masked");
  EXPECT_EQ(Line("tsc-hz-cpuid-15"), "2419200000");
  EXPECT_EQ(Line("tsc-hz-cpuid-16"), "2400000000");
  ExpectRate(Line("tsc-hz-pit"));
  ExpectRate(Line("tsc-hz-pm-timer"));
  EXPECT_EQ(Line("tsc-hz-measured"), Line("tsc-hz-pit").substr(0, 8) + " (8254)");
  ExpectRate(Line("apic-timer-hz"), APIC_TIMER_HZ);
  EXPECT_EQ(Line("apic-timer-hz").substr(8), " (divide by 1)");
  EXPECT_EQ(Line("timer-mode-auto"), "tsc-deadline (no erratum rules it out)");
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
  const auto NoTscDeadline = [](BoardCheckRun&) { Machine().CpuidLeaves[1].Ecx = 0; };
  const std::string Ran = "100 deadlines 1 ms apart in tsc-deadline mode on vector ";
  const std::string OneShot = "100 deadlines 1 ms apart in one-shot mode on vector ";
  const std::string Vector = Hex(LAPIC_TIMER_VECTOR);
  const ExerciseCase Cases[] = {
      {"idle timer", [](BoardCheckRun&) {}, Ran + Vector, "100 of 100", "0"},
      {"x2APIC", [](BoardCheckRun&) { Machine().SetApicBaseMsr(0, true, true); }, Ran + Vector,
       "100 of 100", "0"},
      {"vector taken", [&](BoardCheckRun&) { Take(LAPIC_TIMER_VECTOR, LAPIC_TIMER_VECTOR); },
       Ran + Hex(LAPIC_TIMER_VECTOR + 1), "100 of 100", "0"},
      {"interrupts early", [](BoardCheckRun& T) { T.Early = 1000; }, Ran + Vector, "100 of 100",
       "100"},
      {"no interrupts", [](BoardCheckRun& T) { T.DeadlineFires = false; }, Ran + Vector, "0 of 100",
       "0"},
      {"every vector taken", [&](BoardCheckRun&) { Take(LAPIC_TIMER_VECTOR, 0xFF); },
       "not run: no free vector"},
      {"a deadline armed",
       [](BoardCheckRun&) {
         Machine().ApicRegister(LVT_TIMER) = 0x40040;
         Machine().Msrs[TSC_DEADLINE_MSR] = 1ULL << 40;
       },
       "not run: the local APIC timer has a TSC deadline armed"},
      // A firmware's free-running clock: masked, periodic, counting at divide by 16.
      {"a masked count runs",
       [](BoardCheckRun&) {
         Machine().ApicRegister(LVT_TIMER) = 0x30000, Machine().ApicRegister(DIVIDE) = 0x3;
         Machine().ApicRegister(INITIAL_COUNT) = 0xFFFFFFFF;
         Machine().ApicTimerStartTsc = Machine().Tsc;
       },
       "not run: the local APIC timer is counting"},
      {"no CPU protocol",
       [](BoardCheckRun&) { Firmware().FailLocate(gEfiCpuArchProtocolGuid, EFI_NOT_FOUND); },
       "not run: no CPU Architectural Protocol"},
      // Where an auto build takes one-shot mode, the exercise arms the count instead.
      {"no TSC-deadline, the timer unmasked but idle",
       [&](BoardCheckRun& T) { NoTscDeadline(T), Machine().ApicRegister(LVT_TIMER) = 0; },
       OneShot + Vector, "100 of 100", "0"},
      {"under a TSC-deadline erratum, x2APIC",
       [](BoardCheckRun&) {
         Machine().CpuidLeaves[1].Eax = 0x50654, Machine().MicrocodeRevision = 0x2000013;
         Machine().SetApicBaseMsr(0, true, true);
       },
       OneShot + Vector, "100 of 100", "0"},
      {"one-shot, interrupts early", [&](BoardCheckRun& T) { NoTscDeadline(T), T.Early = 1000; },
       OneShot + Vector, "100 of 100", "100"},
      {"one-shot, no interrupts",
       [&](BoardCheckRun& T) { NoTscDeadline(T), T.DeadlineFires = false; }, OneShot + Vector,
       "0 of 100", "0"},
      {"one-shot, the timer does not count",
       [&](BoardCheckRun& T) { NoTscDeadline(T), Machine().ApicTimerHz = 0; },
       "not run: the local APIC timer did not count"},
  };
  for (const ExerciseCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    SetUp();
    Case.Arrange(*this);
    const std::map<UINT64, UINT32> Apic = Machine().ApicRegisters;
    const UINT64 Deadline = Machine().TscDeadline();
    const auto Handlers = Firmware().InterruptHandlers;
    Run(u"--exercise");
    EXPECT_EQ(Line("exercise"), Case.Exercise);
    EXPECT_EQ(Line("exercise-fired"), Case.Fired.empty() ? "(no line exercise-fired)" : Case.Fired);
    EXPECT_EQ(Line("exercise-early"), Case.Early.empty() ? "(no line exercise-early)" : Case.Early);
    // The exercise runs in the mode an auto build takes; where that is one-shot mode and the
    // exercise proved it, the build is told to take it, and the vector it ran on, which was free.
    const bool Ran = !Case.Fired.empty();
    EXPECT_TRUE(!Ran ||
                Case.Exercise.find(Line("timer-mode-auto").substr(0, 8)) != std::string::npos);
    const bool AutoBuild =
        Case.Exercise.rfind(OneShot, 0) == 0 && Case.Fired == "100 of 100" && Case.Early == "0";
    EXPECT_EQ(Line("verdict").rfind("suits a build with -DVESK_TIMER_MODE=auto: ", 0) == 0,
              AutoBuild);
    const std::string Settings =
        Ran ? "-DVESK_TIMER_VECTOR=" + Case.Exercise.substr(Case.Exercise.rfind(' ') + 1)
            : "-DVESK_TSC";
    EXPECT_EQ(Line("settings").rfind((AutoBuild ? "-DVESK_TIMER_MODE=auto " : "") + Settings, 0),
              0u);
    // Put back: the LVT, the divide register, the spurious-vector register, a count that ran
    // (and one that had run out, as 0), the deadline and the handlers.
    for (const UINT32 Offset : {LVT_TIMER, DIVIDE, SPURIOUS, INITIAL_COUNT}) {
      const auto Found = Apic.find(Offset);
      EXPECT_EQ(Machine().ApicRegister(Offset), Found == Apic.end() ? 0 : Found->second)
          << Hex(Offset);
    }
    EXPECT_EQ(Machine().TscDeadline(), Deadline);
    EXPECT_EQ(Firmware().InterruptHandlers, Handlers);
    // The switch to TSC-deadline mode has reached the APIC before the first deadline is written:
    // the events from the last LVT write on are a fence, then TPL and TSC, then the deadline.
    const std::vector<std::string> Events = TimerTesting::TimerEvents(0);
    const auto Armed = std::find_if(Events.begin(), Events.end(), [](const std::string& Event) {
      return Event.rfind("deadline=", 0) == 0 && Event != "deadline=0x0";
    });
    const auto Fence = std::find(std::make_reverse_iterator(Armed), Events.rend(), "fence");
    EXPECT_TRUE(Armed == Events.end() || std::find_if(std::make_reverse_iterator(Armed), Fence,
                                                      [](const std::string& Event) {
                                                        return Event.rfind("write LVT", 0) == 0;
                                                      }) == Fence);
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

// Equal, or for an expectation ending (starting) in "..." (a figure measured on the way), its start
// (end).
void ExpectLine(const std::string& Got, const std::string& Expected) {
  const size_t Length = Expected.size() - 3;
  if (Expected.size() > 3 && Expected.substr(Length) == "...") {
    EXPECT_EQ(Got.substr(0, Length), Expected.substr(0, Length));
  } else if (Expected.rfind("...", 0) == 0) {
    EXPECT_EQ(Got.substr(Got.size() - std::min(Got.size(), Length)), Expected.substr(3));
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
      {"PM timer in memory space",
       [](BoardCheckRun& T) { T.Fadt.XPmTimerBlock.AddressSpaceId = 0; }, "tsc-hz-pm-timer",
       "not read (in memory space at 0x408)", "suits"},
      {"32 bits at PM_TMR_BLK",
       [](BoardCheckRun& T) {
         T.Fadt.XPmTimerBlock.Address = 0;
         T.Fadt.PmTimerBlock = PM_TIMER_PORT;
         T.Fadt.Flags = ACPI_FADT_TMR_VAL_EXT;
         Machine().PmTimer32Bits = true;
       },
       "tsc-hz-pm-timer", "", "suits"},
      {"24 bits whose top byte is noise",
       [](BoardCheckRun&) { Machine().PmTimerTopByteNoise = true; }, "tsc-hz-pm-timer", "",
       "suits"},
      {"hardware-reduced ACPI", [](BoardCheckRun& T) { T.Fadt.Flags = 1u << 20; },
       "tsc-hz-pm-timer", "no PM timer (hardware-reduced ACPI)", "suits"},
      {"FADT of ACPI 1.0, without X_PM_TMR_BLK",
       [](BoardCheckRun& T) {
         T.Fadt.Header.Length = 116;
         T.Fadt.PmTimerBlock = PM_TIMER_PORT;
       },
       "tsc-hz-pm-timer", "", "suits"},
      // A root pointer without an XSDT leads to the RSDT, whichever entry names it.
      {"root pointer of ACPI 1.0",
       [](BoardCheckRun& T) {
         T.Root.Revision = 0, T.Xsdt.Header.Signature = 0;
         Firmware().ConfigurationTables[0].VendorGuid = gEfiAcpi10TableGuid;
       },
       "tsc-hz-pm-timer", "", "suits"},
      {"XSDT address 0", [](BoardCheckRun& T) { T.Root.XsdtAddress = 0; }, "tsc-hz-pm-timer", "",
       "suits"},
      // A table whose bytes do not sum to 0 is named, and nothing in it is used.
      {"root pointer's first 20 bytes",
       [](BoardCheckRun& T) { T.Root.Revision = 0, T.Corrupt = &T.Root.Checksum; },
       "tsc-hz-pm-timer", "the RSDP's checksum fails", "suits"},
      {"root pointer's 36 bytes", [](BoardCheckRun& T) { T.Corrupt = &T.Root.Reserved[0]; },
       "tsc-hz-pm-timer", "the RSDP's checksum fails", "suits"},
      {"XSDT's", [](BoardCheckRun& T) { T.Corrupt = &T.Xsdt.Header.Checksum; }, "tsc-hz-pm-timer",
       "the XSDT's checksum fails", "suits"},
      {"RSDT's",
       [](BoardCheckRun& T) { T.Root.XsdtAddress = 0, T.Corrupt = &T.Acpi.Rsdt.Header.Checksum; },
       "tsc-hz-pm-timer", "the RSDT's checksum fails", "suits"},
      {"FADT's", [](BoardCheckRun& T) { T.Corrupt = &T.Fadt.FieldsBeforeFlags[0]; },
       "tsc-hz-pm-timer", "the FADT's checksum fails", "suits"},
      {"8254 stopped: the PM timer measures", [](BoardCheckRun&) { Machine().PitCounts = false; },
       "tsc-hz-measured", "... (PM timer)", "suits"},
      {"no 8254: port 0x61 floats", [](BoardCheckRun&) { Machine().SystemControlFloats = true; },
       "tsc-hz-pit", "no count (the 8254 did not count)", "suits"},
      // Neither clock counts: the rate CPUID leaf 0x15 states, which the database contradicts here.
      {"no clock counts",
       [](BoardCheckRun&) { Machine().PitCounts = false, Machine().PmTimerPort = 0x500; },
       "tsc-hz-measured", "2419200000 (CPUID 0x15)",
       "does not suit: configuration database rate 20000000 Hz is 992 per mille off the measured "
       "2419200000 Hz; with warnings: TSC rate from CPUID 0x15, not measured"},
      {"TSC stands still, no leaf 0x15",
       [](BoardCheckRun&) { Machine().TscPerAccess = 0, Machine().CpuidLeaves.erase(0x15); },
       "tsc-hz-measured", "none", "suits, with warnings: no reference clock"},
      {"AMD",
       [](BoardCheckRun&) {
         Machine().CpuidLeaves[0] = {0xD, 0x68747541, 0x444D4163, 0x69746E65};
         Machine().MicrocodeRevision = 0, Machine().Msrs[0x8B] = 0x8001137;
       },
       "cpu-microcode", "0x8001137", "suits"},
      {"no UART", [](BoardCheckRun&) { Machine().UartScratchPresent = false; }, "uart",
       "absent at " + Port, "suits, with warnings: no UART at " + Port},
      // The scratch register is written only once the line status reads like a 16550's, and only
      // at an 8-aligned port clear of the system ports.
      {"a line status no 16550 has", [](BoardCheckRun&) { Machine().LineStatus = 0xFF; }, "uart",
       "absent at " + Port, "suits, with warnings: no UART at " + Port},
      {"a transmitter busy for a while",
       [](BoardCheckRun&) {
         Machine().BeforeLineStatusRead = [N = 0]() mutable {
           Machine().LineStatus = ++N > 99 ? 96 : 0;
         };
       },
       "uart", "present at " + Port, "suits"},
      {"the reset and PCI configuration ports",
       [](BoardCheckRun& T) { T.Options = u"--port 0xCF8"; }, "uart",
       "absent at 0xCF8 (not probed: not 8-aligned, or a system port)",
       "suits, with warnings: no UART at 0xCF8"},
      {"below 0x100", [](BoardCheckRun& T) { T.Options = u"--port 0xB0"; }, "uart",
       "absent at 0xB0 (not probed: not 8-aligned, or a system port)",
       "suits, with warnings: no UART at 0xB0"},
      {"not 8-aligned", [](BoardCheckRun& T) { T.Options = u"--port 0x3F9"; }, "uart",
       "absent at 0x3F9 (not probed: not 8-aligned, or a system port)",
       "suits, with warnings: no UART at 0x3F9"},
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
       "present-timer", "period 100000 (100 ns units)", "suits"},
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
    Run();
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
    // A port not probed is not even read; the scratch register is written only behind a line
    // status like a 16550's (the simulated UART's).
    const UINT64 Probed = std::stoull(Line("uart").substr(Line("uart").find("0x")), nullptr, 16);
    for (const HardwareAccessRecord& Access : Machine().Log) {
      const bool Uart =
          (Access.Kind == AccessKind::PortRead || Access.Kind == AccessKind::PortWrite) &&
          Access.Address >= Probed && Access.Address < Probed + 8;
      EXPECT_FALSE(Uart && Line("uart").find("not probed") != std::string::npos)
          << Hex(Access.Address);
      EXPECT_FALSE(Uart && Access.Kind == AccessKind::PortWrite &&
                   (Probed != DEBUG_UART_BASE || (Machine().LineStatus & 0xA0) != 0x20));
    }
  }

  // Without a console it prints nothing, and still runs to the end.
  SetUp();
  Firmware().SystemTableData.ConOut = nullptr;
  EXPECT_EQ(BoardCheckEntry(Firmware().ImageHandle, Firmware().SystemTable()), EFI_SUCCESS);
  EXPECT_TRUE(Firmware().ConsoleWritten.empty());
  EXPECT_FALSE(Machine().Accesses(AccessKind::PortRead).empty());
}

TEST_F(BoardCheckRun, BadOptionsGetTheUsageAndTouchNothing) {
  const std::pair<std::u16string, std::string> Cases[] = {
      {u"VeskBoardCheck.efi --fast", "board-check: unknown option '--fast'"},
      {u"--port", "board-check: --port needs a number"},
      {u"--token 0x1FFFFFFFF", "board-check: --token takes a number, not '0x1FFFFFFFF'"},
      {u"--token 0", "board-check: --token takes a number, not '0'"},
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
