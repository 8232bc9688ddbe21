// The platform's system timer: the local APIC timer in TSC-deadline or one-shot mode behind the
// Timer Architectural Protocol.
#pragma once

#include "Library/LocalApicTimerLib/OneShotTimer.h"
#include "Library/LocalApicTimerLib/TimerMode.h"
#include "PlatformSettings.h" // LAPIC_TIMER_VECTOR, DEFAULT_TIMER_PERIOD, TIMER_MODE, ...
#include "UefiDefinitions/CpuArchProtocol.h"
#include "UefiDefinitions/TimerArchProtocol.h"
#include "UefiDefinitions/UefiSystemTable.h"

// Timer state, zero when the image is loaded.
extern EFI_TIMER_NOTIFY mNotifyFunction;
extern UINT64 mCurrentPeriod;
extern UINT64 mTscTicksPerSecond;
extern EFI_TIMER_ARCH_PROTOCOL mTimerProtocol;

// The mode the entry chose, the one-shot timer's measured rate, and the TSC value of the tick
// armed last.
extern LapicTimerMode mTimerMode;
extern ApicTimerRate mApicTimerRate;
extern UINT64 mNextDeadline;

// Set by the entry.
extern EFI_CPU_ARCH_PROTOCOL* mCpuArch;
extern EFI_HANDLE mProtocolHandle;

EFI_STATUS EFIAPI LapicTimerRegisterHandler(EFI_TIMER_ARCH_PROTOCOL* This,
                                            EFI_TIMER_NOTIFY NotifyFunction);
EFI_STATUS EFIAPI LapicTimerSetTimerPeriod(EFI_TIMER_ARCH_PROTOCOL* This, UINT64 TimerPeriod);
EFI_STATUS EFIAPI LapicTimerGetTimerPeriod(EFI_TIMER_ARCH_PROTOCOL* This, UINT64* TimerPeriod);
EFI_STATUS EFIAPI LapicTimerGenerateSoftInterrupt(EFI_TIMER_ARCH_PROTOCOL* This);
VOID EFIAPI LapicTimerInterruptHandler(EFI_EXCEPTION_TYPE InterruptType,
                                       EFI_SYSTEM_CONTEXT SystemContext);

// The image's entry point: the start in the build's timer mode (VESK_TIMER_MODE).
extern "C" EFI_STATUS EFIAPI LapicTimerDriverEntry(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE* SystemTable);
// The start in any of the three, for a test to take each.
EFI_STATUS StartLapicTimer(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable,
                           TimerModeSetting Setting);
