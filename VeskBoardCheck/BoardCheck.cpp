// The board check: an EFI application a platform engineer runs from the shell, on the board and the
// firmware it has today, before the timer driver goes into that firmware. It prints one fact per
// line as "name: value", then a verdict and the build settings that suit the board.
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"
#include "PlatformSettings.h"
#include "UefiDefinitions/CpuArchProtocol.h"
#include "VeskBoardCheck/Console.h"
#include "VeskBoardCheck/Exercise.h"
#include "VeskBoardCheck/FirmwareQueries.h"
#include "VeskBoardCheck/Options.h"
#include "VeskBoardCheck/PmTimerSearch.h"
#include "VeskBoardCheck/ProcessorFacts.h"
#include "VeskBoardCheck/ReferenceClocks.h"
#include "VeskBoardCheck/UartProbe.h"

namespace {
constexpr UINT64 NANOSECONDS_PER_SECOND = 1000000000;
constexpr UINT64 NANOSECONDS_PER_MICROSECOND = 1000;
constexpr UINT64 MILLISECONDS_PER_SECOND = 1000;
constexpr UINT64 NANOSECONDS_PER_MILLISECOND = 1000000;
// Below this many ticks, ticks x 10^9 fits 64 bits.
constexpr UINT64 EXACT_CONVERSION_LIMIT = 1ULL << 34;

const CHAR8* YesNo(BOOLEAN Value) {
  return Value ? "yes" : "no";
}

VOID PrintProcessor(const ProcessorFacts& Facts) {
  const CpuIdentity& Cpu = Facts.Identity;
  ConsolePrint("cpu-vendor: %a\n", Facts.Vendor);
  ConsolePrint("cpu-signature: family 0x%X, model 0x%X, stepping %u\n", Cpu.Family, Cpu.Model,
               Cpu.Stepping);
  if (Facts.MicrocodeRead) {
    ConsolePrint("cpu-microcode: 0x%X\n", Facts.Microcode);
  } else {
    ConsolePrint("cpu-microcode: not read (%a)\n",
                 Cpu.Hypervisor ? "under a hypervisor" : "not Intel or AMD");
  }
  ConsolePrint("hypervisor: %a\n", YesNo(Cpu.Hypervisor));
  ConsolePrint("tsc-deadline: %a\n", YesNo(Cpu.TscDeadline));
  ConsolePrint("x2apic: %a\n", YesNo(Facts.X2Apic));
  ConsolePrint("invariant-tsc: %a\n", YesNo(Facts.InvariantTsc));
  ConsolePrint("arat: %a\n", YesNo(Facts.Arat));
}

VOID PrintApic(ApicModeNow Mode) {
  static constexpr const CHAR8* MODE_NAMES[] = {"disabled", "xapic", "x2apic"};
  ConsolePrint("apic-mode: %a\n", MODE_NAMES[static_cast<UINT8>(Mode)]);
  if (Mode == ApicModeNow::Disabled) {
    ConsolePrint("lvt-timer: not read (the local APIC is disabled)\n");
    return;
  }
  static constexpr const CHAR8* TIMER_MODE_NAMES[] = {"one-shot", "periodic", "tsc-deadline",
                                                      "reserved"};
  const UINT32 Lvt = ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET);
  ConsolePrint("lvt-timer: vector 0x%X, mode %a, %a\n", Lvt & LVT_TIMER_VECTOR_BITS,
               TIMER_MODE_NAMES[(Lvt & LVT_TIMER_MODE_BITS) >> LVT_TIMER_MODE_SHIFT],
               (Lvt & LVT_TIMER_MASKED) != 0 ? "masked" : "unmasked");
}

VOID PrintRate(const CHAR8* Name, UINT64 Hz) {
  if (Hz == 0) {
    ConsolePrint("%a: not given\n", Name);
  } else {
    ConsolePrint("%a: %lu\n", Name, Hz);
  }
}

VOID PrintMeasurement(const CHAR8* Name, const RateMeasurement& Measured) {
  ConsolePrint("%a: %lu, spread %lu ppm over %u rounds\n", Name, Measured.Hz, Measured.SpreadPpm,
               MEASUREMENT_ROUNDS);
}

// The measurement against the PM timer; not Counted when there is none.
RateMeasurement MeasurePmTimer(EFI_SYSTEM_TABLE* SystemTable) {
  const PmTimerPlace Place =
      FindPmTimer(SystemTable->ConfigurationTable, SystemTable->NumberOfTableEntries);
  RateMeasurement Measured = {FALSE, 0, 0};
  switch (Place.Result) {
  case PmTimerSearch::NoAcpiTables:
    ConsolePrint("tsc-hz-pm-timer: no ACPI tables\n");
    break;
  case PmTimerSearch::BadChecksum:
    ConsolePrint("tsc-hz-pm-timer: the %a's checksum fails\n", Place.Table);
    break;
  case PmTimerSearch::NoFadt:
    ConsolePrint("tsc-hz-pm-timer: no FADT\n");
    break;
  case PmTimerSearch::HardwareReduced:
    ConsolePrint("tsc-hz-pm-timer: no PM timer (hardware-reduced ACPI)\n");
    break;
  case PmTimerSearch::InMemory:
    ConsolePrint("tsc-hz-pm-timer: not read (in memory space at 0x%lX)\n", Place.Address);
    break;
  case PmTimerSearch::NoPmTimer:
    ConsolePrint("tsc-hz-pm-timer: no PM timer in the FADT\n");
    break;
  case PmTimerSearch::Found:
    Measured = MeasureAgainstPmTimer(static_cast<UINT16>(Place.Address), Place.Counts32Bits);
    if (Measured.Counted) {
      PrintMeasurement("tsc-hz-pm-timer", Measured);
    } else {
      ConsolePrint("tsc-hz-pm-timer: no count (the PM timer at 0x%lX did not count)\n",
                   Place.Address);
    }
    break;
  }
  return Measured;
}

// Rounded to the nearest nanosecond while ticks x 10^9 fits; beyond, to the millisecond, which is
// all such a figure needs.
UINT64 TicksToNanoseconds(UINT64 Ticks, UINT64 Hz) {
  if (Ticks < EXACT_CONVERSION_LIMIT) {
    return (Ticks * NANOSECONDS_PER_SECOND + Hz / 2) / Hz;
  }
  return Ticks / Hz * NANOSECONDS_PER_SECOND +
         (Ticks % Hz) * MILLISECONDS_PER_SECOND / Hz * NANOSECONDS_PER_MILLISECOND;
}

const CHAR8* ModeName(LapicTimerMode Mode) {
  return Mode == LapicTimerMode::OneShot ? "one-shot" : "tsc-deadline";
}

VOID PrintExercise(const ExerciseOutcome& Outcome, LapicTimerMode Mode, UINT64 TscHz) {
  if (Outcome.Refusal != TimerRefusal::None) {
    ConsolePrint("exercise: not run: %a\n", RefusalText(Outcome.Refusal));
    return;
  }
  ConsolePrint("exercise: %u deadlines 1 ms apart in %a mode on vector 0x%X\n", EXERCISE_DEADLINES,
               ModeName(Mode), Outcome.Vector);
  ConsolePrint("exercise-fired: %u of %u\n", Outcome.Fired, EXERCISE_DEADLINES);
  ConsolePrint("exercise-early: %u\n", Outcome.Early);
  if (Outcome.OnTime == 0) {
    ConsolePrint("exercise-latency-tsc: none\nexercise-latency-us: none\n");
    return;
  }
  const UINT64 Mean = Outcome.LatencySum / Outcome.OnTime;
  ConsolePrint("exercise-latency-tsc: min %lu, mean %lu, max %lu\n", Outcome.LatencyMin, Mean,
               Outcome.LatencyMax);
  const UINT64 Nanoseconds[] = {TicksToNanoseconds(Outcome.LatencyMin, TscHz),
                                TicksToNanoseconds(Mean, TscHz),
                                TicksToNanoseconds(Outcome.LatencyMax, TscHz)};
  ConsolePrint(
      "exercise-latency-us: min %lu.%03lu, mean %lu.%03lu, max %lu.%03lu\n",
      Nanoseconds[0] / NANOSECONDS_PER_MICROSECOND, Nanoseconds[0] % NANOSECONDS_PER_MICROSECOND,
      Nanoseconds[1] / NANOSECONDS_PER_MICROSECOND, Nanoseconds[1] % NANOSECONDS_PER_MICROSECOND,
      Nanoseconds[2] / NANOSECONDS_PER_MICROSECOND, Nanoseconds[2] % NANOSECONDS_PER_MICROSECOND);
}
// The check runs in phases, each in a frame of its own: inlined into one frame, the findings lie
// so far from the stack pointer that every access to them takes longer instructions.

[[gnu::noinline]] VOID CheckProcessor(BoardFindings& Board) {
  ProcessorFacts Processor;
  ReadProcessorFacts(&Processor);
  PrintProcessor(Processor);
  Board.Cpu = Processor.Identity;
  Board.Cpuid15Hz = Processor.Cpuid15Hz;
  Board.InvariantTsc = Processor.InvariantTsc;
  Board.Arat = Processor.Arat;
  const ApicModeNow Mode = ReadApicMode();
  Board.ApicEnabled = Mode != ApicModeNow::Disabled;
  PrintApic(Mode);
  PrintRate("tsc-hz-cpuid-15", Processor.Cpuid15Hz);
  PrintRate("tsc-hz-cpuid-16", Processor.Cpuid16Hz);
}

// The 8254 decides when it counts, the PM timer otherwise, and CPUID leaf 0x15 when neither does.
[[gnu::noinline]] VOID MeasureTscRate(EFI_SYSTEM_TABLE* SystemTable, BoardFindings& Board) {
  Board.Pit = MeasureAgainstPit(SystemTable->BootServices);
  if (Board.Pit.Counted) {
    PrintMeasurement("tsc-hz-pit", Board.Pit);
  } else {
    ConsolePrint("tsc-hz-pit: no count (the 8254 did not count)\n");
  }
  Board.PmTimer = MeasurePmTimer(SystemTable);
  static constexpr const CHAR8* SOURCES[] = {"", "8254", "PM timer", "CPUID 0x15"};
  Board.Source = Board.Pit.Counted       ? TscRateSource::Pit
                 : Board.PmTimer.Counted ? TscRateSource::PmTimer
                 : Board.Cpuid15Hz != 0 && Board.Cpuid15Hz < MEASURED_HZ_LIMIT
                     ? TscRateSource::Cpuid15
                     : TscRateSource::None;
  const UINT64 Rates[] = {0, Board.Pit.Hz, Board.PmTimer.Hz, Board.Cpuid15Hz};
  Board.MeasuredHz = Rates[static_cast<UINT8>(Board.Source)];
  if (Board.MeasuredHz == 0) {
    ConsolePrint("tsc-hz-measured: none\n");
  } else {
    ConsolePrint("tsc-hz-measured: %lu (%a)\n", Board.MeasuredHz,
                 SOURCES[static_cast<UINT8>(Board.Source)]);
  }
}

// The local APIC timer's own rate, and the mode an auto build would take here.
[[gnu::noinline]] VOID CheckApicTimer(EFI_BOOT_SERVICES* BootServices, BoardFindings& Board) {
  const TimerMeasurement Measured =
      MeasureTimer(BootServices, Board.ApicEnabled, Board.Cpu.TscDeadline, Board.MeasuredHz);
  Board.ApicRate = Measured.Refusal;
  if (Measured.Refusal == TimerRefusal::None) {
    ConsolePrint("apic-timer-hz: %lu (divide by 1)\n",
                 ApicTimerHz(Measured.Rate, Board.MeasuredHz));
  } else {
    ConsolePrint("apic-timer-hz: %a (%a)\n",
                 Measured.Refusal == TimerRefusal::NoCount ? "no count" : "not measured",
                 RefusalText(Measured.Refusal));
  }
  const TimerModeChoice Auto = ChooseTimerMode(TimerModeSetting::Auto, Board.Cpu);
  static constexpr const CHAR8* REASONS[] = {"", "no erratum rules it out",
                                             "under a hypervisor, errata are the host's",
                                             "no TSC-deadline mode", "a TSC-deadline erratum"};
  ConsolePrint("timer-mode-auto: %a (%a)\n", ModeName(Auto.Mode),
               REASONS[static_cast<UINT8>(Auto.Reason)]);
}

[[gnu::noinline]] VOID CheckPlatform(EFI_BOOT_SERVICES* BootServices,
                                     const BoardCheckOptions& Options, BoardFindings& Board) {
  Board.Token = Options.Token;
  const PcdReading Pcd = ReadPcdRate(BootServices, Options.Token);
  Board.Pcd = Pcd.Answer;
  Board.PcdHz = Pcd.Hz;
  if (Pcd.Answer == PcdAnswer::NoDatabase) {
    ConsolePrint("pcd-tsc-hz: no configuration database\n");
  } else if (Pcd.Answer == PcdAnswer::NotAnswered) {
    ConsolePrint("pcd-tsc-hz: token %lu not answered\n", Options.Token);
  } else if (Board.MeasuredHz == 0) {
    ConsolePrint("pcd-tsc-hz: %u (token %lu), no measured rate to compare\n", Pcd.Hz,
                 Options.Token);
  } else {
    ConsolePrint("pcd-tsc-hz: %u (token %lu), %lu per mille from the measured rate\n", Pcd.Hz,
                 Options.Token, PerMilleOff(Pcd.Hz, Board.MeasuredHz));
  }

  Board.UartPort = Options.Port;
  const UartFinding Uart = ProbeUart(static_cast<UINT16>(Options.Port));
  Board.UartPresent = Uart == UartFinding::Present;
  ConsolePrint("uart: %a at 0x%lX%a\n", Board.UartPresent ? "present" : "absent", Options.Port,
               Uart == UartFinding::NotProbed ? " (not probed: not 8-aligned, or a system port)"
                                              : "");

  const PresentTimerReading Timer = ReadPresentTimer(BootServices);
  if (Timer.Found == PresentTimer::None) {
    ConsolePrint("present-timer: none\n");
  } else if (Timer.Found == PresentTimer::PeriodRefused) {
    ConsolePrint("present-timer: found, its period not given\n");
  } else {
    ConsolePrint("present-timer: period %lu (100 ns units)\n", Timer.Period);
  }
}

[[gnu::noinline]] VOID ExerciseTimer(EFI_BOOT_SERVICES* BootServices, BoardFindings& Board) {
  const LapicTimerMode Mode = ChooseTimerMode(TimerModeSetting::Auto, Board.Cpu).Mode;
  const ExerciseOutcome Outcome = RunExercise(
      BootServices,
      static_cast<EFI_CPU_ARCH_PROTOCOL*>(LocateInterface(BootServices, gEfiCpuArchProtocolGuid)),
      Mode, Board.Cpu.TscDeadline, Board.ApicEnabled, Board.MeasuredHz);
  PrintExercise(Outcome, Mode, Board.MeasuredHz);
  Board.Exercise = Outcome.Refusal;
  Board.ExerciseVector = Outcome.Vector;
  Board.ExerciseFired = Outcome.Fired;
  Board.ExerciseEarly = Outcome.Early;
}

[[gnu::noinline]] VerdictKind PrintVerdict(const BoardFindings& Board) {
  CHAR8 Verdict[VERDICT_TEXT_SIZE];
  const VerdictKind Kind = FormatVerdict(Board, Verdict, sizeof(Verdict));
  ConsoleWrite("verdict: ");
  ConsoleWrite(Verdict);
  ConsoleWrite("\r\n");
  return Kind;
}

// Only what the check found goes on the line, so that it can go to the build as it stands: the mode
// where only an auto build suits, the vector the exercise found free, the token that answered the
// measured rate, the port where a UART answered. Inspect registers no handler, so it finds no
// vector.
[[gnu::noinline]] VOID PrintSettings(const BoardFindings& Board, VerdictKind Kind) {
  ConsoleWrite("settings:");
  const BOOLEAN TokenFound = Board.Pcd == PcdAnswer::Answered && Board.MeasuredHz != 0 &&
                             !RateTooFarOff(Board.PcdHz, Board.MeasuredHz);
  const BOOLEAN ExerciseRan = Board.ExerciseAsked && Board.Exercise == TimerRefusal::None;
  const BOOLEAN AutoMode = Kind == VerdictKind::SuitsAutoBuild;
  if (AutoMode) {
    ConsoleWrite(" -DVESK_TIMER_MODE=auto");
  }
  if (ExerciseRan) {
    ConsolePrint(" -DVESK_TIMER_VECTOR=0x%X", Board.ExerciseVector);
  }
  if (TokenFound) {
    ConsolePrint(" -DVESK_TSC_FREQUENCY_TOKEN=%lu", Board.Token);
  }
  if (Board.UartPresent) {
    ConsolePrint(" -DVESK_DEBUG_UART_PORT=0x%lX", Board.UartPort);
  }
  ConsoleWrite(AutoMode || ExerciseRan || TokenFound || Board.UartPresent ? "\r\n" : " none\r\n");
}
} // namespace

// Always returns: nothing it meets on a board or in its options makes it halt or wait without end.
// EFI_UNSUPPORTED when the board does not suit, EFI_INVALID_PARAMETER for options it refuses.
extern "C" EFI_STATUS EFIAPI BoardCheckEntry(EFI_HANDLE ImageHandle,
                                             EFI_SYSTEM_TABLE* SystemTable) {
  if (SystemTable == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  BindConsole(SystemTable->ConOut);
  EFI_BOOT_SERVICES* BootServices = SystemTable->BootServices;

  BoardCheckOptions Options = {FALSE, PCD_TSC_FREQUENCY_TOKEN, DEBUG_UART_BASE};
  const LoadOptionsText Given = ReadLoadOptions(BootServices, ImageHandle);
  if (!TakeOptions(Given.Text, Given.Size, &Options)) {
    return EFI_INVALID_PARAMETER;
  }
  ConsolePrint("board-check: %a\n", Options.Exercise ? "inspect, exercise" : "inspect");

  BoardFindings Board = {};
  Board.ExerciseAsked = Options.Exercise;
  CheckProcessor(Board);
  MeasureTscRate(SystemTable, Board);
  CheckApicTimer(BootServices, Board);
  CheckPlatform(BootServices, Options, Board);
  if (Options.Exercise) {
    ExerciseTimer(BootServices, Board);
  }
  const VerdictKind Kind = PrintVerdict(Board);
  PrintSettings(Board, Kind);
  // A shell script can stop before flashing a board that does not suit.
  return Kind == VerdictKind::DoesNotSuit ? EFI_UNSUPPORTED : EFI_SUCCESS;
}
