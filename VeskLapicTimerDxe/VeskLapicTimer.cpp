// The platform's system timer: the local APIC timer, in TSC-deadline mode or, where the build
// allows it and the processor needs it, in one-shot mode. Either way the time base is the TSC and
// each deadline a TSC value: in TSC-deadline mode the APIC raises the build's timer vector when the
// TSC reaches the value in the deadline MSR; in one-shot mode it counts down the TSC ticks to the
// deadline, converted at its measured rate. Every tick re-arms the next deadline from the interrupt
// handler, then tells the firmware core.
#include "VeskLapicTimerDxe/VeskLapicTimer.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/BaseLib/BaseLib.h"
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"
#include "Library/DxePcdLib/PcdLib.h"
#include "Library/LocalApicTimerLib/OneShotTimer.h"
#include "Library/SerialDebugLib/SerialDebugLib.h"
#include "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.h"

namespace {
// Writing a TSC value arms the timer; writing 0 disarms it.
constexpr UINT32 MSR_TSC_DEADLINE = 0x6E0;

// What the entry programs into the LVT timer register: the timer's mode on our vector, masked until
// the first period is set.
constexpr UINT32 LVT_TIMER_PROGRAMMED_BITS =
    LVT_TIMER_VECTOR_BITS | LVT_TIMER_MASKED | LVT_TIMER_MODE_BITS;
constexpr UINT32 LVT_TIMER_PROGRAMMED_VALUE = LVT_TIMER_MASKED | LAPIC_TIMER_VECTOR;
static_assert(~LVT_TIMER_PROGRAMMED_BITS == 0xFFF8FF00u, "bits the entry keeps");
static_assert(((LVT_TIMER_PROGRAMMED_VALUE | LVT_TIMER_MODE_TSC_DEADLINE) &
               ~LVT_TIMER_VECTOR_BITS) == 0x50000u,
              "bits the entry sets in TSC-deadline mode");
static_assert((LAPIC_TIMER_VECTOR & ~LVT_TIMER_VECTOR_BITS) == 0, "vector fits its field");
static_assert(LAPIC_TIMER_VECTOR >= 0x20, "vectors 0x00 to 0x1F are the processor's exceptions");

constexpr UINT32 SVR_APIC_SOFTWARE_ENABLE = 1u << 8;

// CPUID leaf 1, ECX: the local APIC timer supports TSC-deadline mode.
constexpr UINT32 CPUID_VERSION_INFO = 1;
constexpr UINT32 CPUID_ECX_TSC_DEADLINE = 1u << 24;

constexpr UINT32 PERIOD_UNITS_PER_SECOND = 10000000; // 100 ns units
constexpr UINT64 LARGEST_UINT64 = ~0ULL;

// The one-shot timer's rate is measured over 1 ms of TSC time at the configured rate, and over no
// fewer TSC ticks than this, so that a configuration value far too low still gives a rate.
constexpr UINT64 MEASURING_WINDOWS_PER_SECOND = 1000;
constexpr UINT64 SHORTEST_MEASURING_WINDOW = 1024;

// The period's duration in TSC ticks, period x frequency / 10^7, rounded down; the product is kept
// whole, and a quotient beyond 64 bits saturates.
UINT64 PeriodToTscTicks(UINT64 TimerPeriod) {
  return MultiplyDivide(TimerPeriod, mTscTicksPerSecond, PERIOD_UNITS_PER_SECOND, FALSE);
}

// The TSC value one period after Now; a deadline beyond the counter's range stays at its end
// rather than wrapping into the past, where it would fire at once.
UINT64 DeadlineAfter(UINT64 Now, UINT64 TimerPeriod) {
  const UINT64 Ticks = PeriodToTscTicks(TimerPeriod);
  return Ticks > LARGEST_UINT64 - Now ? LARGEST_UINT64 : Now + Ticks;
}

// Stops the timer: no deadline, or no count.
VOID Disarm() {
  if (mTimerMode == LapicTimerMode::OneShot) {
    ApicRegisterWrite(XAPIC_TIMER_INITIAL_COUNT_OFFSET, 0);
  } else {
    MsrWrite(MSR_TSC_DEADLINE, 0);
  }
}

// Arms the next tick at the TSC value Deadline. In one-shot mode the count may not reach that far:
// the interrupt handler arms the rest when it comes early.
VOID ArmAt(UINT64 Deadline) {
  mNextDeadline = Deadline;
  if (mTimerMode == LapicTimerMode::OneShot) {
    ArmApicTimer(Deadline, mApicTimerRate);
  } else {
    MsrWrite(MSR_TSC_DEADLINE, Deadline);
  }
}

} // namespace

constinit LapicTimerMode mTimerMode = LapicTimerMode::TscDeadline;
constinit ApicTimerRate mApicTimerRate = {0, 0};
constinit UINT64 mNextDeadline = 0;
constinit EFI_TIMER_NOTIFY mNotifyFunction = nullptr;
constinit UINT64 mCurrentPeriod = 0;
constinit UINT64 mTscTicksPerSecond = 0;
constinit EFI_TIMER_ARCH_PROTOCOL mTimerProtocol = {
    LapicTimerRegisterHandler,
    LapicTimerSetTimerPeriod,
    LapicTimerGetTimerPeriod,
    LapicTimerGenerateSoftInterrupt,
};

constinit EFI_CPU_ARCH_PROTOCOL* mCpuArch = nullptr;
constinit EFI_HANDLE mProtocolHandle = nullptr;

// A single pointer store: the interrupt cannot see it half done, so the TPL stays as it is.
EFI_STATUS EFIAPI LapicTimerRegisterHandler(EFI_TIMER_ARCH_PROTOCOL* This,
                                            EFI_TIMER_NOTIFY NotifyFunction) {
  (void)This;
  if (NotifyFunction != nullptr && mNotifyFunction != nullptr) {
    return EFI_ALREADY_STARTED;
  }
  if (NotifyFunction == nullptr && mNotifyFunction == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  mNotifyFunction = NotifyFunction;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LapicTimerSetTimerPeriod(EFI_TIMER_ARCH_PROTOCOL* This, UINT64 TimerPeriod) {
  (void)This;
  const EFI_TPL OldTpl = gBS->RaiseTPL(TPL_HIGH_LEVEL);

  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                    ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) | LVT_TIMER_MASKED);
  Disarm();

  if (TimerPeriod != 0) {
    const UINT64 Deadline = DeadlineAfter(TscRead(), TimerPeriod);
    ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                      ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) & ~LVT_TIMER_MASKED);
    ArmAt(Deadline);
  }

  mCurrentPeriod = TimerPeriod;
  gBS->RestoreTPL(OldTpl);
  return EFI_SUCCESS;
}

// A single 64-bit load, which the interrupt cannot tear.
EFI_STATUS EFIAPI LapicTimerGetTimerPeriod(EFI_TIMER_ARCH_PROTOCOL* This, UINT64* TimerPeriod) {
  (void)This;
  if (TimerPeriod == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *TimerPeriod = mCurrentPeriod;
  return EFI_SUCCESS;
}

// Runs the notify function as a tick would, without end of interrupt and without touching the
// armed deadline.
EFI_STATUS EFIAPI LapicTimerGenerateSoftInterrupt(EFI_TIMER_ARCH_PROTOCOL* This) {
  (void)This;
  const EFI_TPL OldTpl = gBS->RaiseTPL(TPL_HIGH_LEVEL);

  EFI_STATUS Status = EFI_UNSUPPORTED;
  if ((ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET) & LVT_TIMER_MASKED) == 0) {
    Status = EFI_SUCCESS;
    const EFI_TIMER_NOTIFY Notify = mNotifyFunction;
    if (Notify != nullptr) {
      Notify(mCurrentPeriod);
    }
  }

  gBS->RestoreTPL(OldTpl);
  return Status;
}

// The next deadline is measured from the TSC read here, so the handler's latency adds up over
// ticks; it is armed before the notify function runs, so a slow notify cannot lose a tick. In
// one-shot mode an interrupt before the deadline is no tick: the period was longer than one count
// could hold, and the rest is armed.
VOID EFIAPI LapicTimerInterruptHandler(EFI_EXCEPTION_TYPE InterruptType,
                                       EFI_SYSTEM_CONTEXT SystemContext) {
  (void)InterruptType;
  (void)SystemContext;
  const EFI_TPL OldTpl = gBS->RaiseTPL(TPL_HIGH_LEVEL);

  ApicRegisterWrite(XAPIC_EOI_OFFSET, 0);
  const UINT64 Period = mCurrentPeriod;
  if (Period == 0) {
    Disarm();
  } else {
    const UINT64 Now = TscRead();
    if (mTimerMode == LapicTimerMode::OneShot && Now < mNextDeadline) {
      ArmAt(mNextDeadline);
      gBS->RestoreTPL(OldTpl);
      return;
    }
    ArmAt(DeadlineAfter(Now, Period));
  }

  const EFI_TIMER_NOTIFY Notify = mNotifyFunction;
  if (Notify != nullptr) {
    Notify(Period);
  }

  gBS->RestoreTPL(OldTpl);
}

namespace {
// One line on the mode a build that may choose took, and why.
VOID ReportTimerMode(const TimerModeChoice& Choice, const CpuIdentity& Cpu) {
  if (Choice.Mode == LapicTimerMode::TscDeadline) {
    EmitDebugMessage(DEBUG_INFO, "LAPIC timer in TSC-deadline mode: %a\n",
                     Choice.Reason == TimerModeReason::Hypervisor
                         ? "under a hypervisor, errata are the host's"
                         : "no erratum applies");
    return;
  }
  const UINT64 Hz = ApicTimerHz(mApicTimerRate, mTscTicksPerSecond);
  if (Choice.Reason == TimerModeReason::Erratum) {
    EmitDebugMessage(DEBUG_INFO,
                     "LAPIC timer in one-shot mode at %lu Hz: TSC-deadline erratum on family 0x%X "
                     "model 0x%X stepping %u, microcode 0x%X is below 0x%X\n",
                     Hz, Cpu.Family, Cpu.Model, Cpu.Stepping, Cpu.Microcode,
                     Choice.Errata.MinimumRevision);
    return;
  }
  EmitDebugMessage(DEBUG_INFO, "LAPIC timer in one-shot mode at %lu Hz: %a\n", Hz,
                   Choice.Reason == TimerModeReason::NoTscDeadline ? "no TSC-deadline mode"
                                                                   : "the build asks for it");
}
} // namespace

extern "C" EFI_STATUS EFIAPI LapicTimerDriverEntry(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE* SystemTable) {
  return StartLapicTimer(ImageHandle, SystemTable, TIMER_MODE);
}

// After a halt that a debugger released, the entry goes on only where it has something sound to go
// on with: a missing firmware table, CPU protocol or configuration database ends it with
// EFI_DEVICE_ERROR instead of a null dereference.
EFI_STATUS StartLapicTimer(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable,
                           TimerModeSetting Setting) {
  InitDebugSerial();

  BindFirmwareTables(ImageHandle, SystemTable);
  if (gST == nullptr || gBS == nullptr) {
    return EFI_DEVICE_ERROR;
  }

  const BOOLEAN OutputEnabled = DebugOutputEnabled();
  if (OutputEnabled) {
    EmitDebugMessage(DEBUG_INFO, "Initializing LAPIC Timer Driver\n");
  }

  // Two timers cannot both own the platform, but a debugger may let this one go on.
  VOID* InstalledTimer = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gEfiTimerArchProtocolGuid, nullptr, &InstalledTimer);
  if (!EFI_ERROR(Status)) {
    ReportAssertion(__FILE__, __LINE__, "&gEfiTimerArchProtocolGuid already installed in database");
  }

  Status =
      gBS->LocateProtocol(&gEfiCpuArchProtocolGuid, nullptr, reinterpret_cast<VOID**>(&mCpuArch));
  if (EFI_ERROR(Status)) {
    ReportFailedStatusCheck(OutputEnabled, Status, __FILE__, __LINE__);
  }
  // A firmware may answer success without an interface. Like the configuration database's, a null
  // interface is reported, in the spelling the report quotes.
  // clang-format off
  ASSERT(mCpuArch != ((void *) 0));
  // clang-format on
  if (EFI_ERROR(Status) || mCpuArch == nullptr) {
    return EFI_DEVICE_ERROR;
  }

  // A build that may tick in one-shot mode chooses here; one that may not declines without
  // TSC-deadline mode, having touched nothing in the local APIC.
  CpuIdentity Cpu = {};
  TimerModeChoice Choice = {};
  if (Setting == TimerModeSetting::TscDeadline) {
    UINT32 FeatureEcx = 0;
    ReadCpuid(CPUID_VERSION_INFO, nullptr, nullptr, &FeatureEcx, nullptr);
    if ((FeatureEcx & CPUID_ECX_TSC_DEADLINE) == 0) {
      if (OutputEnabled) {
        EmitDebugMessage(DEBUG_ERROR,
                         "LAPIC TSC-deadine mode is not supported. Unload LAPIC timer driver.\n");
      }
      return EFI_DEVICE_ERROR;
    }
  } else {
    if (Setting == TimerModeSetting::Auto) {
      Cpu = ReadCpuIdentity();
    }
    Choice = ChooseTimerMode(Setting, Cpu);
  }
  mTimerMode = Choice.Mode;

  // Zero is stored like any other value; every deadline then lands on the TSC value read.
  mTscTicksPerSecond = LibPcdGet32(PCD_TSC_FREQUENCY_TOKEN);
  if (mPcd == nullptr) {
    return EFI_DEVICE_ERROR;
  }

  const UINT32 SpuriousVector = ApicRegisterRead(XAPIC_SPURIOUS_VECTOR_OFFSET);
  if ((SpuriousVector & SVR_APIC_SOFTWARE_ENABLE) == 0) {
    ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, SpuriousVector | SVR_APIC_SOFTWARE_ENABLE);
  }

  // Masked from here until the first period is set, which happens only after the handler is in
  // place. One-shot mode is set before any count is written: in TSC-deadline mode the APIC ignores
  // the count.
  const BOOLEAN OneShot = mTimerMode == LapicTimerMode::OneShot;
  const UINT32 FoundLvt = ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET,
                    (FoundLvt & ~LVT_TIMER_PROGRAMMED_BITS) |
                        (OneShot ? LVT_TIMER_MODE_ONE_SHOT : LVT_TIMER_MODE_TSC_DEADLINE) |
                        LVT_TIMER_PROGRAMMED_VALUE);

  // With interrupts off, so that no handler's time counts into the measured rate. A timer that
  // does not count is declined like a processor without TSC-deadline mode: the local APIC is left
  // as it was found.
  if (OneShot) {
    const UINT32 FoundDivide = ApicRegisterRead(XAPIC_TIMER_DIVIDE_OFFSET);
    const UINT64 Window = mTscTicksPerSecond / MEASURING_WINDOWS_PER_SECOND;
    const EFI_TPL OldTpl = gBS->RaiseTPL(TPL_HIGH_LEVEL);
    mApicTimerRate = MeasureApicTimerRate(
        Window > SHORTEST_MEASURING_WINDOW ? Window : SHORTEST_MEASURING_WINDOW);
    gBS->RestoreTPL(OldTpl);
    if (mApicTimerRate.Counts == 0) {
      ApicRegisterWrite(XAPIC_TIMER_DIVIDE_OFFSET, FoundDivide);
      ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET, FoundLvt);
      ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, SpuriousVector);
      if (OutputEnabled) {
        EmitDebugMessage(
            DEBUG_ERROR,
            "LAPIC timer does not count in one-shot mode. Unload LAPIC timer driver.\n");
      }
      return EFI_DEVICE_ERROR;
    }
  }
  if (Setting != TimerModeSetting::TscDeadline && OutputEnabled) {
    ReportTimerMode(Choice, Cpu);
  }

  Status =
      mCpuArch->RegisterInterruptHandler(mCpuArch, LAPIC_TIMER_VECTOR, LapicTimerInterruptHandler);
  if (EFI_ERROR(Status)) {
    ReportFailedStatusCheck(OutputEnabled, Status, __FILE__, __LINE__);
    if (OutputEnabled) {
      EmitDebugMessage(DEBUG_ERROR, "Unable to register LAPIC interrupt with CPU Arch Protocol. "
                                    "Unload LAPIC timer driver.\n");
    }
    return EFI_DEVICE_ERROR;
  }

  Status = LapicTimerSetTimerPeriod(&mTimerProtocol, DEFAULT_TIMER_PERIOD);
  if (EFI_ERROR(Status)) {
    ReportFailedStatusCheck(OutputEnabled, Status, __FILE__, __LINE__);
    if (OutputEnabled) {
      EmitDebugMessage(DEBUG_ERROR,
                       "Unable to set LAPIC default timer period. Unload LAPIC timer driver.\n");
    }
    return EFI_DEVICE_ERROR;
  }

  Status = gBS->InstallMultipleProtocolInterfaces(&mProtocolHandle, &gEfiTimerArchProtocolGuid,
                                                  &mTimerProtocol, nullptr);
  if (EFI_ERROR(Status)) {
    ReportFailedStatusCheck(OutputEnabled, Status, __FILE__, __LINE__);
  }
  return Status;
}
