#include "VeskBoardCheck/Decisions.h"

#include "Library/BasePrintLib/PrintLib.h"

namespace {
constexpr UINT64 PER_MILLE = 1000;
static_assert(MEASURED_HZ_LIMIT < ~0ULL / (2 * PER_MILLE), "the per mille product fits 64 bits");

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
} // namespace

UINT64 PerMilleOff(UINT32 Configured, UINT64 Measured) {
  const UINT64 Difference = Configured > Measured ? Configured - Measured : Measured - Configured;
  return (Difference * PER_MILLE + Measured - 1) / Measured;
}

UINT64 FormatVerdict(const BoardFindings& Board, CHAR8* Buffer, UINT64 BufferSize) {
  if (BufferSize == 0) {
    return 0;
  }
  Buffer[0] = 0;
  ReasonList Faults = {Buffer, Buffer + BufferSize - 1, "does not suit: ", 0};
  const ErrataFinding Errata = CheckDeadlineErrata(Board.Cpu);

  if (!Board.Cpu.TscDeadline) {
    AddReason(Faults, "no TSC-deadline mode");
  }
  if (Errata.Status == ErrataStatus::BelowMinimum) {
    AddReason(Faults,
              "TSC-deadline erratum on family 0x%X model 0x%X stepping %u: microcode 0x%X is below "
              "0x%X, update to 0x%X or later",
              Board.Cpu.Family, Board.Cpu.Model, Board.Cpu.Stepping, Board.Cpu.Microcode,
              Errata.MinimumRevision, Errata.MinimumRevision);
  }
  if (Board.ExerciseRan && Board.ExerciseFired < EXERCISE_DEADLINES) {
    AddReason(Faults, "exercise: %u of %u deadlines fired", Board.ExerciseFired,
              EXERCISE_DEADLINES);
  }
  if (Board.ExerciseRan && Board.ExerciseEarly != 0) {
    AddReason(Faults, "exercise: %u deadlines fired early", Board.ExerciseEarly);
  }
  if (Board.Pcd == PcdAnswer::Answered && Board.MeasuredHz != 0 &&
      RateTooFarOff(Board.PcdHz, Board.MeasuredHz)) {
    AddReason(Faults, "configuration database rate %u Hz is %lu per mille off the measured %lu Hz",
              Board.PcdHz, PerMilleOff(Board.PcdHz, Board.MeasuredHz), Board.MeasuredHz);
  }

  ReasonList Warnings = {Faults.Cursor, Faults.End,
                         Faults.Count == 0 ? "suits, with warnings: " : "; with warnings: ", 0};
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
  if (Errata.Status == ErrataStatus::UnknownStepping) {
    AddReason(Warnings, "errata status unknown for family 0x%X model 0x%X stepping %u",
              Board.Cpu.Family, Board.Cpu.Model, Board.Cpu.Stepping);
  }
  if (Board.Cpu.Hypervisor) {
    AddReason(Warnings, "under a hypervisor");
  }
  if (Board.MeasuredHz == 0) {
    AddReason(Warnings, "no reference clock");
  }
  if (Board.Pcd == PcdAnswer::NoDatabase) {
    AddReason(Warnings, "no configuration database");
  } else if (Board.Pcd == PcdAnswer::NotAnswered) {
    AddReason(Warnings, "token %lu not answered", Board.Token);
  }

  if (Faults.Count == 0 && Warnings.Count == 0) {
    Warnings.Cursor += FormatText(Warnings.Cursor, BufferSize, "suits");
  }
  return static_cast<UINT64>(Warnings.Cursor - Buffer);
}
