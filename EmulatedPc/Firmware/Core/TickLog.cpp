#include "Core/TickLog.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/DriverSettings.h"
#include "Platform/LocalApic.h"
#include "Services/Interrupts.h"
#include "Services/Tpl.h"

namespace TickLog {
namespace {

constexpr uint8_t TIMER_VECTOR = DriverSettings::TIMER_VECTOR;

Counters Log;
Record Records[CAPACITY];
uint64_t ExpectedTime = 0;

uint64_t Quotient(uint64_t Total, uint64_t Count) {
  return Count == 0 ? 0 : Total / Count;
}

void WriteField(const char* Key, uint64_t Value) {
  Console::Write(Key);
  Console::WriteDecimal(Value);
}

// A broken driver can arm a deadline behind the interrupt: the difference is printed with its sign.
void WriteDifference(const char* Key, uint64_t Later, uint64_t Earlier) {
  Console::Write(Key);
  Console::WriteSigned(static_cast<int64_t>(Later - Earlier));
}

} // namespace

FIRMWARE_API void Notify(uint64_t Time) {
  const uint64_t Now = Cpu::ReadTsc();
  ++Log.Calls;
  if (Time != ExpectedTime) {
    ++Log.WrongTime;
  }
  if (Tpl::Current() != Uefi::TPL_HIGH_LEVEL) {
    ++Log.NotHighTpl;
  }
  if (Cpu::InterruptsEnabled()) {
    ++Log.InterruptsOn;
  }
  if (Interrupts::Dispatching(TIMER_VECTOR)) {
    if (LocalApic::InService(TIMER_VECTOR)) {
      ++Log.BeforeEoi;
    }
    if (Log.Recorded < CAPACITY) {
      Records[Log.Recorded++] = {Interrupts::ArrivalTsc(), LocalApic::ArmedTsc(), Now,
                                 LocalApic::Read(LocalApic::REG_TIMER_INITIAL_COUNT)};
    } else {
      ++Log.Dropped;
    }
  }
  Log.SelfCycles += Cpu::ReadTsc() - Now;
}

void Restart(uint64_t Time) {
  const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
  Log = {};
  ExpectedTime = Time;
  Tpl::Restore(Old);
}

Counters Take() {
  const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
  Counters Copy = Log;
  Copy.ClosedTsc = Cpu::ReadTsc();
  Tpl::Restore(Old);
  return Copy;
}

void Report(const Counters& Window, uint64_t OpeningTsc, uint64_t FirstDeadline,
            uint64_t PeriodTsc) {
  const bool OneShot = LocalApic::TimerInOneShotMode();
  uint64_t Shortest = ~0ULL;
  uint64_t Longest = 0;
  uint64_t Early = 0;
  uint64_t BeforeDeadline = 0;
  uint64_t Previous = OpeningTsc;
  uint64_t Armed = FirstDeadline;
  for (uint64_t Index = 0; Index < Window.Recorded; ++Index) {
    const Record& Tick = Records[Index];
    const uint64_t Interval = Tick.ArrivalTsc - Previous;
    Early += Interval < PeriodTsc;
    BeforeDeadline += Tick.ArrivalTsc < Armed;
    if (Index > 0) {
      Shortest = Interval < Shortest ? Interval : Shortest;
      Longest = Interval > Longest ? Interval : Longest;
    }
    Console::BeginLine();
    WriteField("tick=", Index);
    WriteField(" arrival-tsc=", Tick.ArrivalTsc);
    WriteField(" deadline-tsc=", Tick.DeadlineTsc);
    WriteField(" notify-tsc=", Tick.NotifyTsc);
    WriteDifference(" interval-tsc=", Tick.ArrivalTsc, Previous);
    WriteDifference(" lead-tsc=", Tick.DeadlineTsc, Tick.ArrivalTsc);
    if (OneShot) {
      WriteField(" initial-count=", Tick.InitialCount);
    }
    Console::EndLine();
    Previous = Tick.ArrivalTsc;
    Armed = Tick.DeadlineTsc;
  }
  const uint64_t Intervals = Window.Recorded < 2 ? 0 : Window.Recorded - 1;
  Console::Fact("tick-records", Window.Recorded);
  Console::Fact("tick-records-dropped", Window.Dropped);
  Console::Fact("tick-intervals", Intervals);
  Console::Fact("tick-interval-min-tsc", Intervals == 0 ? 0 : Shortest);
  Console::Fact("tick-interval-max-tsc", Longest);
  Console::Fact("tick-interval-mean-tsc",
                Quotient(Records[Intervals].ArrivalTsc - Records[0].ArrivalTsc, Intervals));
  Console::Fact("tick-interval-spread-tsc", Intervals == 0 ? 0 : Longest - Shortest);
  Console::Fact("early-ticks", Early);
  Console::Fact("ticks-before-deadline", BeforeDeadline);
  Console::Fact("notify-cycles-mean", Quotient(Window.SelfCycles, Window.Calls));
}

} // namespace TickLog
