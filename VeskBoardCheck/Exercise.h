// The exercise: proves TSC-deadline mode on this processor by arming EXERCISE_DEADLINES deadlines
// 1 ms apart on a free vector and timing each interrupt, then puts back everything it touched.
#pragma once

#include "UefiDefinitions/CpuArchProtocol.h"
#include "UefiDefinitions/UefiSystemTable.h"

// Why the exercise did not run; None when it ran.
enum class ExerciseRefusal : UINT8 {
  None,
  NoTscDeadline,
  ApicDisabled,
  TimerInUse, // the local APIC timer is unmasked and counting, or has a deadline armed
  NoCpuArch,
  NoRate,
  NoFreeVector,
};

struct ExerciseOutcome {
  ExerciseRefusal Refusal;
  UINT32 Vector;
  UINT32 Fired; // deadlines whose interrupt came
  UINT32 Early; // of those, the ones that came before their deadline
  UINT32 OnTime;
  UINT64 LatencyMin; // TSC at arrival minus the deadline, over the deadlines that came on time
  UINT64 LatencyMax;
  UINT64 LatencySum;
};

// Runs at the caller's TPL, which lets interrupts in (TPL_APPLICATION); the arming and the putting
// back run at TPL_HIGH_LEVEL. TscHz is the measured rate (0: none). The vectors tried start at the
// build's timer vector.
ExerciseOutcome RunExercise(EFI_BOOT_SERVICES* BootServices, EFI_CPU_ARCH_PROTOCOL* Cpu,
                            BOOLEAN TscDeadline, BOOLEAN ApicEnabled, UINT64 TscHz);
