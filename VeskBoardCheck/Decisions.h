// What the board check concludes from what it found: the frequency rule and the verdict with its
// reasons. Pure functions over plain values, so that any board can be described to them.
#pragma once

#include "Library/LocalApicTimerLib/TimerMode.h"

// The deadlines the exercise arms.
constexpr UINT32 EXERCISE_DEADLINES = 100;

// No measured TSC rate reaches this (ReferenceClocks.cpp bounds every round below it), so the
// products of the frequency rule cannot overflow.
constexpr UINT64 MEASURED_HZ_LIMIT = 1ULL << 40;

// Parts per thousand by which Configured lies off Measured (1..MEASURED_HZ_LIMIT - 1), rounded
// up, so that it is more than LARGEST_RATE_ERROR_PER_MILLE exactly when the rate is more than 1%
// off.
constexpr UINT64 LARGEST_RATE_ERROR_PER_MILLE = 10;
UINT64 PerMilleOff(UINT32 Configured, UINT64 Measured);
inline BOOLEAN RateTooFarOff(UINT32 Configured, UINT64 Measured) {
  return PerMilleOff(Configured, Measured) > LARGEST_RATE_ERROR_PER_MILLE;
}
// Two clocks that measure the TSC more than this many parts per million apart, or a clock whose
// rounds spread wider, are named in the verdict's warnings.
constexpr UINT64 LARGEST_CLOCK_DISAGREEMENT_PPM = 1000;

enum class PcdAnswer : UINT8 { NoDatabase, NotAnswered, Answered };

// The median of a clock's rounds and their spread.
struct RateMeasurement {
  BOOLEAN Counted;  // false: the clock (or the TSC) did not count within its time
  UINT64 Hz;        // the median of the rounds
  UINT64 SpreadPpm; // (fastest - slowest) / median, in parts per million
};

// The clock the TSC rate the check goes by comes from.
enum class TscRateSource : UINT8 { None, Pit, PmTimer, Cpuid15 };

// Why the local APIC timer was not measured, or not exercised; None when it was.
enum class TimerRefusal : UINT8 {
  None,
  ApicDisabled,
  Counting, // a count runs, masked or not: someone's clock or timer
  Armed,    // a TSC deadline is armed
  NoRate,   // no TSC rate to time it by
  NoCpuArch,
  NoFreeVector,
  NoCount, // the timer did not count when it was started
};
// The refusal in words, as the board check's lines and the verdict give it.
const CHAR8* RefusalText(TimerRefusal Refusal);

struct BoardFindings {
  CpuIdentity Cpu;
  BOOLEAN InvariantTsc;
  BOOLEAN Arat;
  BOOLEAN ApicEnabled;
  UINT64 Cpuid15Hz; // the TSC rate CPUID leaf 0x15 states; 0: not given
  RateMeasurement Pit;
  RateMeasurement PmTimer;
  TscRateSource Source;
  UINT64 MeasuredHz;     // 0: no rate, from no source
  TimerRefusal ApicRate; // the timer's own rate: None when it was measured
  PcdAnswer Pcd;
  UINT32 PcdHz;
  UINT64 Token;
  BOOLEAN UartPresent;
  UINT64 UartPort;
  BOOLEAN ExerciseAsked;
  TimerRefusal Exercise; // None: it ran
  UINT32 ExerciseVector;
  UINT32 ExerciseFired;
  UINT32 ExerciseEarly;
};

enum class VerdictKind : UINT8 { Suits, SuitsAutoBuild, DoesNotSuit };

// "suits", "suits, with warnings: W; W", "suits a build with -DVESK_TIMER_MODE=auto: R[; with
// warnings: W; W]" (R: why an auto build runs in one-shot mode here, where the default build
// declines) or "does not suit: R; R[; with warnings: W; W]", cut at BufferSize - 1 characters
// like FormatText. Every reason at once, with the longest numbers, fits in VERDICT_TEXT_SIZE.
constexpr UINT64 VERDICT_TEXT_SIZE = 1024;
VerdictKind FormatVerdict(const BoardFindings& Board, CHAR8* Buffer, UINT64 BufferSize);
