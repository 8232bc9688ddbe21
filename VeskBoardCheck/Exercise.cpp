#include "VeskBoardCheck/Exercise.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"
#include "PlatformSettings.h"
#include "VeskBoardCheck/Decisions.h"
#include "VeskBoardCheck/ProcessorFacts.h"

namespace {
constexpr UINT32 MSR_TSC_DEADLINE = 0x6E0;
constexpr UINT64 XAPIC_TIMER_CURRENT_COUNT_OFFSET = 0x390;
constexpr UINT32 SVR_APIC_SOFTWARE_ENABLE = 1u << 8;
constexpr UINT32 LAST_VECTOR = 0xFF;

constexpr UINT64 DEADLINES_PER_SECOND = 1000; // 1 ms apart
// A deadline whose interrupt has not come within this many intervals is counted as missed. Should
// the TSC stop, a poll count ends the wait instead.
constexpr UINT64 INTERVALS_BEFORE_MISSED = 10;
constexpr UINT64 POLLS_BEFORE_MISSED = 1ULL << 24;

// Written by the interrupt handler, read by the waiting loop.
volatile UINT64 mInterrupts = 0;
volatile UINT64 mArrivalTsc = 0;

VOID EFIAPI ExerciseInterruptHandler(EFI_EXCEPTION_TYPE InterruptType,
                                     EFI_SYSTEM_CONTEXT SystemContext) {
  (void)InterruptType;
  (void)SystemContext;
  mArrivalTsc = TscRead();
  mInterrupts = mInterrupts + 1;
  ApicRegisterWrite(XAPIC_EOI_OFFSET, 0);
}

// Idle: masked, or neither counting down nor holding a deadline.
bool TimerIdle() {
  if ((ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) & LVT_TIMER_MASKED) != 0) {
    return true;
  }
  return ApicRegisterRead(XAPIC_TIMER_CURRENT_COUNT_OFFSET) == 0 && MsrRead(MSR_TSC_DEADLINE) == 0;
}

// The first vector from the build's timer vector on that takes the handler; 0 when none does.
UINT32 ClaimVector(EFI_CPU_ARCH_PROTOCOL* Cpu) {
  for (UINT32 Vector = LAPIC_TIMER_VECTOR; Vector <= LAST_VECTOR; ++Vector) {
    if (!EFI_ERROR(Cpu->RegisterInterruptHandler(Cpu, Vector, ExerciseInterruptHandler))) {
      return Vector;
    }
  }
  return 0;
}

// Arms a deadline one interval from now and waits for its interrupt; records it in Outcome. Each
// deadline is set from the TSC read as it is armed, so a late or missed one does not make the
// next one late as well.
VOID TimeOneDeadline(EFI_BOOT_SERVICES* BootServices, UINT64 Interval, ExerciseOutcome& Outcome) {
  const UINT64 Before = mInterrupts;
  EFI_TPL Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  const UINT64 Deadline = TscRead() + Interval;
  MsrWrite(MSR_TSC_DEADLINE, Deadline);
  BootServices->RestoreTPL(Tpl);

  const UINT64 GiveUpAfter = Interval * INTERVALS_BEFORE_MISSED;
  for (UINT64 Polls = 0; mInterrupts == Before && Polls < POLLS_BEFORE_MISSED; ++Polls) {
    const UINT64 Now = TscRead();
    if (Now > Deadline && Now - Deadline > GiveUpAfter) {
      break;
    }
  }
  if (mInterrupts == Before) {
    Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
    MsrWrite(MSR_TSC_DEADLINE, 0);
    BootServices->RestoreTPL(Tpl);
    return;
  }
  ++Outcome.Fired;
  const UINT64 Arrival = mArrivalTsc;
  if (Arrival < Deadline) {
    ++Outcome.Early;
    return;
  }
  const UINT64 Latency = Arrival - Deadline;
  Outcome.LatencyMin =
      Outcome.OnTime == 0 || Latency < Outcome.LatencyMin ? Latency : Outcome.LatencyMin;
  Outcome.LatencyMax = Latency > Outcome.LatencyMax ? Latency : Outcome.LatencyMax;
  Outcome.LatencySum += Latency;
  ++Outcome.OnTime;
}
} // namespace

ExerciseOutcome RunExercise(EFI_BOOT_SERVICES* BootServices, EFI_CPU_ARCH_PROTOCOL* Cpu,
                            BOOLEAN TscDeadline, BOOLEAN ApicEnabled, UINT64 TscHz) {
  ExerciseOutcome Outcome = {};
  // Without TSC-deadline mode the deadline register does not exist: reading it would fault.
  if (!TscDeadline) {
    Outcome.Refusal = ExerciseRefusal::NoTscDeadline;
  } else if (!ApicEnabled) {
    Outcome.Refusal = ExerciseRefusal::ApicDisabled;
  } else if (!TimerIdle()) {
    Outcome.Refusal = ExerciseRefusal::TimerInUse;
  } else if (Cpu == nullptr || Cpu->RegisterInterruptHandler == nullptr) {
    Outcome.Refusal = ExerciseRefusal::NoCpuArch;
  } else if (TscHz < DEADLINES_PER_SECOND) {
    Outcome.Refusal = ExerciseRefusal::NoRate;
  } else if ((Outcome.Vector = ClaimVector(Cpu)) == 0) {
    Outcome.Refusal = ExerciseRefusal::NoFreeVector;
  }
  if (Outcome.Refusal != ExerciseRefusal::None) {
    return Outcome;
  }

  const UINT32 SavedLvt = ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET);
  const UINT32 SavedSpurious = ApicRegisterRead(XAPIC_SPURIOUS_VECTOR_OFFSET);
  EFI_TPL Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  MsrWrite(MSR_TSC_DEADLINE, 0);
  if ((SavedSpurious & SVR_APIC_SOFTWARE_ENABLE) == 0) {
    ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, SavedSpurious | SVR_APIC_SOFTWARE_ENABLE);
  }
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                    (SavedLvt & ~(LVT_TIMER_VECTOR_BITS | LVT_TIMER_MASKED | LVT_TIMER_MODE_BITS)) |
                        LVT_TIMER_MODE_TSC_DEADLINE | Outcome.Vector);
  // Read back, so that the switch to TSC-deadline mode has reached the APIC before the first
  // deadline is written.
  ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET);
  BootServices->RestoreTPL(Tpl);

  const UINT64 Interval = TscHz / DEADLINES_PER_SECOND;
  for (UINT32 Index = 0; Index < EXERCISE_DEADLINES; ++Index) {
    TimeOneDeadline(BootServices, Interval, Outcome);
  }

  // Disarmed and masked first, with the handler still in place for an interrupt already on its way;
  // then the handler goes and the registers are put back as they were.
  Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  MsrWrite(MSR_TSC_DEADLINE, 0);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                    ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) | LVT_TIMER_MASKED);
  BootServices->RestoreTPL(Tpl);
  Cpu->RegisterInterruptHandler(Cpu, Outcome.Vector, nullptr);
  Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET, SavedLvt);
  ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, SavedSpurious);
  BootServices->RestoreTPL(Tpl);
  return Outcome;
}
