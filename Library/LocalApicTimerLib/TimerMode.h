// Which mode the local APIC timer ticks in. TSC-deadline mode is exact and needs no calibration,
// but no AMD processor and no Intel processor before Sandy Bridge has it, and some Intel parts miss
// deadlines below a microcode revision; one-shot mode works on every local APIC, counting down
// a measured rate. The rule that picks one, and the errata table it reads, serve the driver and
// the board check alike.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// The build's choice (VESK_TIMER_MODE).
enum class TimerModeSetting : UINT8 {
  TscDeadline, // TSC-deadline mode, or no timer where the processor lacks it
  Auto,        // TSC-deadline mode where it is sound, else one-shot mode
  OneShot,     // one-shot mode always
};

// The mode the timer runs in. TscDeadline is 0, the state of a freshly loaded image.
enum class LapicTimerMode : UINT8 { TscDeadline, OneShot };

// The processor as the errata table sees it: display family and model, from CPUID leaf 1.
struct CpuIdentity {
  BOOLEAN Intel;
  BOOLEAN Hypervisor;
  BOOLEAN TscDeadline; // CPUID leaf 1 reports TSC-deadline mode
  UINT32 Family;
  UINT32 Model;
  UINT32 Stepping;
  BOOLEAN MicrocodeRead; // Microcode holds the revision (Intel, not under a hypervisor)
  UINT32 Microcode;
};
// Reads CPUID leaves 0 and 1 and, on Intel outside a hypervisor, the microcode revision, which
// the processor reports only after its register was cleared and leaf 1 executed.
CpuIdentity ReadCpuIdentity();

enum class ErrataStatus : UINT8 {
  NotApplicable,   // not Intel, or the revision was not read (under a hypervisor)
  NotListed,       // no erratum known for this processor
  Fixed,           // at or above the minimum revision
  BelowMinimum,    // the erratum is present: MinimumRevision or later is needed
  UnknownStepping, // the model has rows, but none for this stepping
};
struct ErrataFinding {
  ErrataStatus Status;
  UINT32 MinimumRevision; // for Fixed and BelowMinimum
};
ErrataFinding CheckDeadlineErrata(const CpuIdentity& Cpu);

// Why a mode was chosen.
enum class TimerModeReason : UINT8 {
  BuildAsks,     // the build names the mode
  NoErratum,     // the processor has TSC-deadline mode and no erratum rules it out
  Hypervisor,    // the processor reports TSC-deadline mode; errata are the host's concern
  NoTscDeadline, // CPUID does not report TSC-deadline mode
  Erratum,       // the microcode is below the errata table's minimum for this processor
};
struct TimerModeChoice {
  LapicTimerMode Mode;
  TimerModeReason Reason;
  ErrataFinding Errata;
};
// The mode a build with Setting runs in on Cpu. A TscDeadline build has no other mode: on a
// processor without it, the choice is TscDeadline with the reason NoTscDeadline, and the driver
// declines to start.
TimerModeChoice ChooseTimerMode(TimerModeSetting Setting, const CpuIdentity& Cpu);
