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

enum class PcdAnswer : UINT8 { NoDatabase, NotAnswered, Answered };

struct BoardFindings {
  CpuIdentity Cpu;
  BOOLEAN InvariantTsc;
  BOOLEAN Arat;
  BOOLEAN ApicEnabled;
  UINT64 MeasuredHz; // 0: no reference clock counted
  PcdAnswer Pcd;
  UINT32 PcdHz;
  UINT64 Token;
  BOOLEAN UartPresent;
  UINT64 UartPort;
  BOOLEAN ExerciseRan;
  UINT32 ExerciseVector;
  UINT32 ExerciseFired;
  UINT32 ExerciseEarly;
};

// "suits", "suits, with warnings: W; W" or "does not suit: R; R[; with warnings: W; W]", cut at
// BufferSize - 1 characters like FormatText. Returns the characters written. Every reason at once,
// with the longest numbers, fits in VERDICT_TEXT_SIZE.
constexpr UINT64 VERDICT_TEXT_SIZE = 640;
UINT64 FormatVerdict(const BoardFindings& Board, CHAR8* Buffer, UINT64 BufferSize);
