// The firmware core's notify function and what it sees: counters for every call, and for every
// hardware tick a record of when its interrupt arrived, which deadline the driver armed in it and
// when the notify function ran. The counting window's records are printed once it is closed, one
// "[pc] tick=..." line each, with the figures drawn from them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "Uefi/UefiTypes.h"

namespace TickLog {

struct Record {
  uint64_t ArrivalTsc;   // TSC when the interrupt reached the dispatcher
  uint64_t DeadlineTsc;  // when the timer fires as the driver armed it before calling the notify
                         // function: the deadline MSR, or in one-shot mode the count's end
  uint64_t NotifyTsc;    // TSC when the notify function began
  uint32_t InitialCount; // one-shot mode: the count the driver armed
};

// One record per period of the longest span the board settings can ask for (65535), and room for
// the tick that the window's edges can add: a driver that ticks no faster than its period never
// fills it. Ticks beyond it are counted, not recorded.
constexpr size_t CAPACITY = 65536 + 64;

struct Counters {
  uint64_t Calls;
  uint64_t WrongTime;    // called with another value than the period in force
  uint64_t NotHighTpl;   // called below TPL_HIGH_LEVEL
  uint64_t InterruptsOn; // called with interrupts enabled
  uint64_t BeforeEoi;    // a tick whose vector was still in service: no end of interrupt yet
  uint64_t SelfCycles;   // TSC ticks spent in the notify function itself
  uint64_t Recorded;     // ticks in the record array
  uint64_t Dropped;      // ticks that found the array full
  uint64_t ClosedTsc;    // TSC when the counters were taken
};

FIRMWARE_API void Notify(uint64_t Time);

// Starts a new log, expecting the notify function to be called with Time.
void Restart(uint64_t Time);
// The counters since the last restart; the records stay until the next one.
Counters Take();

// Prints the records and the figures drawn from them. The first tick is measured from
// OpeningTsc, the TSC read just before the period was set.
void Report(const Counters& Window, uint64_t OpeningTsc, uint64_t FirstDeadline,
            uint64_t PeriodTsc);

} // namespace TickLog
