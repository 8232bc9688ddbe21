#include "VeskBoardCheck/Decisions.h"

#include "Library/BasePrintLib/PrintLib.h"

namespace {
constexpr UINT64 PER_MILLE = 1000;
constexpr UINT64 PER_MILLION = 1000000;
constexpr UINT64 LARGEST_32_BIT_RATE = 0xFFFFFFFF;
static_assert(MEASURED_HZ_LIMIT < ~0ULL / (2 * PER_MILLION),
              "the per million product fits 64 bits");

// Appends reasons to a line: the first after Opening, the others after "; ".
struct ReasonList {
  CHAR8* Cursor;
  CHAR8* End; // the last byte, kept for the zero
  const CHAR8* Opening;
  UINT64 Count;
};

VOID EFIAPI AddReason(ReasonList& List, const CHAR8* Format, ...) {
  const CHAR8* Separator = List.Count == 0 ? List.Opening : "; ";
  List.Cursor +=
      FormatText(List.Cursor, static_cast<UINT64>(List.End - List.Cursor) + 1, "%a", Separator);
  ARGUMENT_CURSOR Arguments;
  __builtin_ms_va_start(Arguments, Format);
  List.Cursor += FormatTextList(List.Cursor, static_cast<UINT64>(List.End - List.Cursor) + 1,
                                Format, Arguments);
  __builtin_ms_va_end(Arguments);
  ++List.Count;
}

// Parts of Parts by which Value lies off Reference (not 0), rounded up.
UINT64 PartsOff(UINT64 Value, UINT64 Reference, UINT64 Parts) {
  const UINT64 Difference = Value > Reference ? Value - Reference : Reference - Value;
  return (Difference * Parts + Reference - 1) / Reference;
}

VOID WarnOfClock(ReasonList& Warnings, const CHAR8* Name, const RateMeasurement& Clock) {
  if (Clock.Counted && Clock.SpreadPpm > LARGEST_CLOCK_DISAGREEMENT_PPM) {
    AddReason(Warnings, "%a spread %lu ppm", Name, Clock.SpreadPpm);
  }
}
} // namespace

UINT64 PerMilleOff(UINT32 Configured, UINT64 Measured) {
  return PartsOff(Configured, Measured, PER_MILLE);
}

const CHAR8* RefusalText(TimerRefusal Refusal) {
  static constexpr const CHAR8* TEXTS[] = {
      "",
      "the local APIC is disabled",
      "the local APIC timer is counting",
      "the local APIC timer has a TSC deadline armed",
      "no TSC rate",
      "no CPU Architectural Protocol",
      "no free vector",
      "the local APIC timer did not count",
  };
  return TEXTS[static_cast<UINT8>(Refusal)];
}

VerdictKind FormatVerdict(const BoardFindings& Board, CHAR8* Buffer, UINT64 BufferSize) {
  if (BufferSize == 0) {
    return VerdictKind::DoesNotSuit;
  }
  Buffer[0] = 0;
  ReasonList Faults = {Buffer, Buffer + BufferSize - 1, "does not suit: ", 0};
  const TimerModeChoice Auto = ChooseTimerMode(TimerModeSetting::Auto, Board.Cpu);
  const bool OneShot = Auto.Mode == LapicTimerMode::OneShot;
  const bool Exercised = Board.ExerciseAsked && Board.Exercise == TimerRefusal::None;

  if (OneShot && Board.ApicRate == TimerRefusal::NoCount) {
    AddReason(Faults, "the local APIC timer does not count");
  }
  if (Exercised && Board.ExerciseFired < EXERCISE_DEADLINES) {
    AddReason(Faults, "exercise: %u of %u deadlines fired", Board.ExerciseFired,
              EXERCISE_DEADLINES);
  }
  if (Exercised && Board.ExerciseEarly != 0) {
    AddReason(Faults, "exercise: %u deadlines fired early", Board.ExerciseEarly);
  }
  if (Board.MeasuredHz > LARGEST_32_BIT_RATE) {
    AddReason(Faults, "the TSC rate %lu Hz does not fit the configuration database's 32 bits",
              Board.MeasuredHz);
  } else if (Board.Pcd == PcdAnswer::Answered && Board.MeasuredHz != 0 &&
             RateTooFarOff(Board.PcdHz, Board.MeasuredHz)) {
    AddReason(Faults, "configuration database rate %u Hz is %lu per mille off the measured %lu Hz",
              Board.PcdHz, PerMilleOff(Board.PcdHz, Board.MeasuredHz), Board.MeasuredHz);
  }

  // Where only an auto build runs, the reason it takes one-shot mode leads the verdict.
  ReasonList Mode = {Faults.Cursor, Faults.End, "suits a build with -DVESK_TIMER_MODE=auto: ", 0};
  if (Faults.Count == 0 && OneShot) {
    if (Auto.Reason == TimerModeReason::NoTscDeadline) {
      AddReason(Mode, "no TSC-deadline mode");
    } else {
      AddReason(Mode,
                "TSC-deadline erratum on family 0x%X model 0x%X stepping %u: microcode 0x%X is "
                "below 0x%X, update to 0x%X or later for the default build",
                Board.Cpu.Family, Board.Cpu.Model, Board.Cpu.Stepping, Board.Cpu.Microcode,
                Auto.Errata.MinimumRevision, Auto.Errata.MinimumRevision);
    }
  }

  ReasonList Warnings = {
      Mode.Cursor, Mode.End,
      Faults.Count + Mode.Count == 0 ? "suits, with warnings: " : "; with warnings: ", 0};
  if (!Board.InvariantTsc) {
    AddReason(Warnings, "TSC not invariant");
  }
  if (!Board.Arat) {
    AddReason(Warnings, "no ARAT");
  }
  if (!Board.ApicEnabled) {
    AddReason(Warnings, "local APIC disabled");
  }
  if (!Board.UartPresent) {
    AddReason(Warnings, "no UART at 0x%lX", Board.UartPort);
  }
  if (Auto.Errata.Status == ErrataStatus::UnknownStepping) {
    AddReason(Warnings, "errata status unknown for family 0x%X model 0x%X stepping %u",
              Board.Cpu.Family, Board.Cpu.Model, Board.Cpu.Stepping);
  }
  if (Board.Cpu.Hypervisor) {
    AddReason(Warnings, "under a hypervisor");
  }
  if (Board.Source == TscRateSource::None) {
    AddReason(Warnings, "no reference clock");
  } else if (Board.Source == TscRateSource::Cpuid15) {
    AddReason(Warnings, "TSC rate from CPUID 0x15, not measured");
  }
  if (Board.Pit.Counted && Board.PmTimer.Counted &&
      PartsOff(Board.PmTimer.Hz, Board.Pit.Hz, PER_MILLION) > LARGEST_CLOCK_DISAGREEMENT_PPM) {
    AddReason(Warnings, "8254 and PM timer %lu ppm apart, the 8254's rate used",
              PartsOff(Board.PmTimer.Hz, Board.Pit.Hz, PER_MILLION));
  }
  WarnOfClock(Warnings, "8254", Board.Pit);
  WarnOfClock(Warnings, "PM timer", Board.PmTimer);
  if (Board.Pcd == PcdAnswer::NoDatabase) {
    AddReason(Warnings, "no configuration database");
  } else if (Board.Pcd == PcdAnswer::NotAnswered) {
    AddReason(Warnings, "token %lu not answered", Board.Token);
  }
  if (Board.ExerciseAsked && !Exercised) {
    AddReason(Warnings, "exercise not run: %a", RefusalText(Board.Exercise));
  } else if (!Board.ExerciseAsked && OneShot) {
    AddReason(Warnings, "one-shot mode not exercised: run with --exercise");
  }

  if (Faults.Count + Mode.Count + Warnings.Count == 0) {
    FormatText(Warnings.Cursor, BufferSize, "suits");
  }
  return Faults.Count != 0 ? VerdictKind::DoesNotSuit
         : Mode.Count != 0 ? VerdictKind::SuitsAutoBuild
                           : VerdictKind::Suits;
}
