#include "VeskBoardCheck/Exercise.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"
#include "PlatformSettings.h"

namespace {
constexpr UINT32 MSR_TSC_DEADLINE = 0x6E0;
constexpr UINT32 SVR_APIC_SOFTWARE_ENABLE = 1u << 8;
constexpr UINT32 LAST_VECTOR = 0xFF;
constexpr UINT32 LVT_TIMER_FIELDS = LVT_TIMER_VECTOR_BITS | LVT_TIMER_MASKED | LVT_TIMER_MODE_BITS;

constexpr UINT64 DEADLINES_PER_SECOND = 1000; // 1 ms apart
// The timer's rate is measured as the driver measures it, over twice its 1 ms window.
constexpr UINT64 MEASUREMENTS_PER_SECOND = 500;
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

// Why the timer cannot be taken now: it is disabled, someone's count runs on it (masked or not: a
// masked periodic count is a firmware's clock), a deadline is armed, or there is no rate to time
// it by.
TimerRefusal CheckTimerFree(BOOLEAN ApicEnabled, BOOLEAN TscDeadline, UINT64 TscHz) {
  if (!ApicEnabled) {
    return TimerRefusal::ApicDisabled;
  }
  const bool Periodic =
      (ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) & LVT_TIMER_MODE_BITS) == LVT_TIMER_MODE_PERIODIC;
  if (ApicRegisterRead(XAPIC_TIMER_CURRENT_COUNT_OFFSET) != 0 ||
      (Periodic && ApicRegisterRead(XAPIC_TIMER_INITIAL_COUNT_OFFSET) != 0)) {
    return TimerRefusal::Counting;
  }
  // Without TSC-deadline mode the deadline register does not exist: reading it would fault.
  if (TscDeadline && MsrRead(MSR_TSC_DEADLINE) != 0) {
    return TimerRefusal::Armed;
  }
  return TscHz < MEASUREMENTS_PER_SECOND ? TimerRefusal::NoRate : TimerRefusal::None;
}

// What the timer is put back to. Its initial count is left 0: the timer was idle, and writing back
// a count that had run out would start it again.
struct TimerRegisters {
  UINT32 Lvt;
  UINT32 Divide;
  UINT32 Spurious;
};

// At TPL_HIGH_LEVEL: the APIC enabled in software, and the LVT's mode, mask and vector as given.
TimerRegisters TakeTimer(UINT32 LvtFields) {
  const TimerRegisters Found = {ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET),
                                ApicRegisterRead(XAPIC_TIMER_DIVIDE_OFFSET),
                                ApicRegisterRead(XAPIC_SPURIOUS_VECTOR_OFFSET)};
  ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, Found.Spurious | SVR_APIC_SOFTWARE_ENABLE);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET, (Found.Lvt & ~LVT_TIMER_FIELDS) | LvtFields);
  return Found;
}

// At TPL_HIGH_LEVEL, the count and any deadline stopped.
VOID PutBackTimer(const TimerRegisters& Found) {
  ApicRegisterWrite(XAPIC_TIMER_DIVIDE_OFFSET, Found.Divide);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET, Found.Lvt);
  ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, Found.Spurious);
}

ApicTimerRate MeasureRate(UINT64 TscHz) {
  return MeasureApicTimerRate(TscHz / MEASUREMENTS_PER_SECOND);
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

// Stops the count or the deadline of either mode (writes the other mode ignores).
VOID Disarm(bool OneShot) {
  if (OneShot) {
    ApicRegisterWrite(XAPIC_TIMER_INITIAL_COUNT_OFFSET, 0);
  } else {
    MsrWrite(MSR_TSC_DEADLINE, 0);
  }
}

// Arms a deadline one interval from now and waits for its interrupt; records it in Outcome. Each
// deadline is set from the TSC read as it is armed, so a late or missed one does not make the
// next one late as well.
VOID TimeOneDeadline(EFI_BOOT_SERVICES* BootServices, UINT64 Interval, const ApicTimerRate* Rate,
                     ExerciseOutcome& Outcome) {
  const UINT64 Before = mInterrupts;
  EFI_TPL Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  const UINT64 Deadline = TscRead() + Interval;
  if (Rate != nullptr) {
    ArmApicTimer(Deadline, *Rate);
  } else {
    MsrWrite(MSR_TSC_DEADLINE, Deadline);
  }
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
    Disarm(Rate != nullptr);
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

TimerMeasurement MeasureTimer(EFI_BOOT_SERVICES* BootServices, BOOLEAN ApicEnabled,
                              BOOLEAN TscDeadline, UINT64 TscHz) {
  TimerMeasurement Measured = {CheckTimerFree(ApicEnabled, TscDeadline, TscHz), {0, 0}};
  if (Measured.Refusal != TimerRefusal::None) {
    return Measured;
  }
  const EFI_TPL Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  const TimerRegisters Found = TakeTimer(LVT_TIMER_MODE_ONE_SHOT | LVT_TIMER_MASKED);
  Measured.Rate = MeasureRate(TscHz);
  PutBackTimer(Found);
  BootServices->RestoreTPL(Tpl);
  if (Measured.Rate.Counts == 0) {
    Measured.Refusal = TimerRefusal::NoCount;
  }
  return Measured;
}

ExerciseOutcome RunExercise(EFI_BOOT_SERVICES* BootServices, EFI_CPU_ARCH_PROTOCOL* Cpu,
                            LapicTimerMode Mode, BOOLEAN TscDeadline, BOOLEAN ApicEnabled,
                            UINT64 TscHz) {
  ExerciseOutcome Outcome = {};
  Outcome.Refusal = CheckTimerFree(ApicEnabled, TscDeadline, TscHz);
  if (Outcome.Refusal == TimerRefusal::None &&
      (Cpu == nullptr || Cpu->RegisterInterruptHandler == nullptr)) {
    Outcome.Refusal = TimerRefusal::NoCpuArch;
  } else if (Outcome.Refusal == TimerRefusal::None && (Outcome.Vector = ClaimVector(Cpu)) == 0) {
    Outcome.Refusal = TimerRefusal::NoFreeVector;
  }
  if (Outcome.Refusal != TimerRefusal::None) {
    return Outcome;
  }

  // One-shot mode: the rate measured with the LVT masked, then the vector let through before the
  // first count is written. TSC-deadline mode: the LVT switched, then a fence, so that the switch
  // has reached the APIC before the first deadline is written.
  const bool OneShot = Mode == LapicTimerMode::OneShot;
  EFI_TPL Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  const TimerRegisters Found =
      TakeTimer(OneShot ? LVT_TIMER_MODE_ONE_SHOT | LVT_TIMER_MASKED | Outcome.Vector
                        : LVT_TIMER_MODE_TSC_DEADLINE | Outcome.Vector);
  ApicTimerRate Rate = {0, 0};
  if (OneShot) {
    Rate = MeasureRate(TscHz);
    ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                      ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) & ~LVT_TIMER_MASKED);
  }
  MemoryFence();
  BootServices->RestoreTPL(Tpl);

  if (OneShot && Rate.Counts == 0) {
    Outcome.Refusal = TimerRefusal::NoCount;
  } else {
    const UINT64 Interval = TscHz / DEADLINES_PER_SECOND;
    for (UINT32 Index = 0; Index < EXERCISE_DEADLINES; ++Index) {
      TimeOneDeadline(BootServices, Interval, OneShot ? &Rate : nullptr, Outcome);
    }
  }

  // Disarmed and masked first, with the handler still in place for an interrupt already on its way;
  // then the handler goes and the registers are put back as they were.
  Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  Disarm(OneShot);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                    ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) | LVT_TIMER_MASKED);
  BootServices->RestoreTPL(Tpl);
  Cpu->RegisterInterruptHandler(Cpu, Outcome.Vector, nullptr);
  Tpl = BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  PutBackTimer(Found);
  BootServices->RestoreTPL(Tpl);
  return Outcome;
}
