// The local APIC timer put to work: its rate measured against the TSC, and the exercise, which
// proves the mode an auto build would choose on this processor by arming EXERCISE_DEADLINES
// deadlines 1 ms apart on a free vector and timing each interrupt. Both take the timer only when it
// is idle (no count running, no deadline armed) and put back everything they touched.
#pragma once

#include "Library/LocalApicTimerLib/OneShotTimer.h"
#include "UefiDefinitions/CpuArchProtocol.h"
#include "UefiDefinitions/UefiSystemTable.h"
#include "VeskBoardCheck/Decisions.h"

struct TimerMeasurement {
  TimerRefusal Refusal; // NoCount: the timer did not count
  ApicTimerRate Rate;
};

// The timer's rate at divide-by-1 over 2 ms (at TscHz), at TPL_HIGH_LEVEL, in one-shot mode and
// masked; then the count stopped and the divide register, the LVT and the spurious-vector
// register put back as they were. TscDeadline: the processor has the deadline register.
TimerMeasurement MeasureTimer(EFI_BOOT_SERVICES* BootServices, BOOLEAN ApicEnabled,
                              BOOLEAN TscDeadline, UINT64 TscHz);

struct ExerciseOutcome {
  TimerRefusal Refusal;
  UINT32 Vector;
  UINT32 Fired; // deadlines whose interrupt came
  UINT32 Early; // of those, the ones that came before their deadline
  UINT32 OnTime;
  UINT64 LatencyMin; // TSC at arrival minus the deadline, over the deadlines that came on time
  UINT64 LatencyMax;
  UINT64 LatencySum;
};

// Arms each deadline in Mode: the deadline register in TSC-deadline mode; in one-shot mode the
// initial count (ArmApicTimer), at a rate measured first as MeasureTimer does. Runs at the caller's
// TPL, which lets interrupts in (TPL_APPLICATION); the arming and the putting back run at
// TPL_HIGH_LEVEL. TscHz is the TSC's rate (0: none). The vectors tried start at the build's timer
// vector.
ExerciseOutcome RunExercise(EFI_BOOT_SERVICES* BootServices, EFI_CPU_ARCH_PROTOCOL* Cpu,
                            LapicTimerMode Mode, BOOLEAN TscDeadline, BOOLEAN ApicEnabled,
                            UINT64 TscHz);
