#include "Core/TimerExercise.h"

#include "Core/TickLog.h"
#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/DriverSettings.h"
#include "Platform/IntervalTimer.h"
#include "Platform/LegacyPic.h"
#include "Platform/LocalApic.h"
#include "Services/Interrupts.h"
#include "Services/ProtocolDatabase.h"
#include "Services/Tpl.h"
#include "Uefi/Protocols.h"

namespace TimerExercise {
namespace {

constexpr uint8_t TIMER_VECTOR = DriverSettings::TIMER_VECTOR;
constexpr uint64_t UNITS_PER_SECOND = 10000000;       // 100 ns units
constexpr uint64_t DEFAULT_PERIOD_WINDOW_TENTHS = 25; // 2.5 default periods
constexpr uint64_t TENTHS = 10;
constexpr uint64_t RESTART_WINDOW_PERIODS = 5;
constexpr uint64_t LARGEST = ~0ULL;

// A period in TSC ticks, period x frequency / 10^7 rounded down, saturated at 2^64 - 1: the
// firmware's own reckoning, split at whole seconds so that no product exceeds 64 bits.
uint64_t TscTicks(uint64_t Period, uint64_t Frequency) {
  const uint64_t Seconds = Period / UNITS_PER_SECOND;
  const uint64_t Part = Period % UNITS_PER_SECOND * Frequency / UNITS_PER_SECOND;
  if (Seconds != 0 && Frequency > (LARGEST - Part) / Seconds) {
    return LARGEST;
  }
  return Seconds * Frequency + Part;
}

// No window lasts longer than one second of TSC time per period of the span, so that a long
// period is still counted over the span asked for, and any period, 2^64 - 1 included, ends.
uint64_t WindowCap = 0;

// Count periods of PeriodTsc ticks, but no longer than the cap.
uint64_t CappedSpan(uint64_t PeriodTsc, uint64_t Count) {
  uint64_t Ticks;
  if (__builtin_mul_overflow(PeriodTsc, Count, &Ticks) || Ticks > WindowCap) {
    return WindowCap;
  }
  return Ticks;
}

// A wait of this many TSC ticks or more halts between interrupts instead of spinning: the emulator
// skips the idle time, so that periods of seconds at a TSC of some GHz still end in host seconds.
// The 8254 wakes the processor every 10 ms where no tick does (the timer stopped).
constexpr uint64_t IDLE_WAIT_TSC = 1ULL << 26;
constexpr uint16_t WAKE_TIMER_COUNT = 11932;
constexpr uint8_t WAKE_VECTOR = LegacyPic::FIRST_VECTOR + LegacyPic::INTERVAL_TIMER_LINE;

FIRMWARE_API void Wake(int64_t, void*) {
  LegacyPic::EndOfInterrupt();
}

// One wait of up to Ticks: each Pass spins a moment, or halts until the next interrupt.
class Wait {
public:
  explicit Wait(uint64_t Ticks) : Halting(Ticks >= IDLE_WAIT_TSC) {
    if (Halting) {
      Interrupts::RegisterHandler(WAKE_VECTOR, &Wake);
      IntervalTimer::StartPeriodic(WAKE_TIMER_COUNT);
      LegacyPic::Unmask(LegacyPic::INTERVAL_TIMER_LINE);
    }
  }
  ~Wait() {
    if (Halting) {
      LegacyPic::MaskAll();
      Interrupts::RegisterHandler(WAKE_VECTOR, nullptr);
    }
  }
  void Pass() const { Halting ? Cpu::WaitForInterrupt() : Cpu::Pause(); }

private:
  const bool Halting;
};

void SpinFrom(uint64_t Start, uint64_t Ticks) {
  const Wait Waiting(Ticks);
  while (Cpu::ReadTsc() - Start < Ticks) {
    Waiting.Pass();
  }
}

// Waits for the next tick, so that what follows starts right after one and far from the next.
void WaitForTick(uint64_t Limit) {
  const Wait Waiting(Limit);
  const uint64_t Start = Cpu::ReadTsc();
  const uint64_t Seen = Interrupts::Statistics(TIMER_VECTOR).Calls;
  while (Interrupts::Statistics(TIMER_VECTOR).Calls == Seen && Cpu::ReadTsc() - Start < Limit) {
    Waiting.Pass();
  }
}

struct PeriodChange {
  Uefi::Status Status;
  uint64_t TscBefore; // read just before SetTimerPeriod
  uint64_t TscAfter;  // read just after it returned
  uint64_t Deadline;  // when the timer fires as SetTimerPeriod armed it
  bool Pending;       // a tick the APIC had accepted before the change, still to be delivered
};

// Sets the period with interrupts held off, so that no tick falls between the change and the
// notify function's knowledge of it, and starts a new tick log and handler statistics that see
// the first tick.
PeriodChange SetPeriod(Uefi::TimerArchProtocol* Timer, uint64_t Period) {
  const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
  TickLog::Restart(Period);
  Interrupts::ResetStatistics(TIMER_VECTOR);
  PeriodChange Change;
  Change.TscBefore = Cpu::ReadTsc();
  Change.Status = Timer->SetTimerPeriod(Timer, Period);
  Change.TscAfter = Cpu::ReadTsc();
  Change.Deadline = LocalApic::ArmedTsc();
  Change.Pending = LocalApic::Requested(TIMER_VECTOR);
  Tpl::Restore(Old);
  return Change;
}

uint64_t Quotient(uint64_t Total, uint64_t Count) {
  return Count == 0 ? 0 : Total / Count;
}

// Split at whole seconds, so that no product exceeds 64 bits.
uint64_t Microseconds(uint64_t Ticks, uint64_t Frequency) {
  constexpr uint64_t MICROSECONDS_PER_SECOND = 1000000;
  if (Frequency == 0) {
    return 0;
  }
  return Ticks / Frequency * MICROSECONDS_PER_SECOND +
         Ticks % Frequency * MICROSECONDS_PER_SECOND / Frequency;
}

FIRMWARE_API void OtherNotify(uint64_t) {}

void ReportHandler(const Interrupts::HandlerStatistics& Stats) {
  Console::Fact("handler-calls", Stats.Calls);
  Console::Fact("handler-cycles-mean", Quotient(Stats.TotalCycles, Stats.Calls));
  Console::Fact("handler-cycles-min", Stats.MinCycles);
  Console::Fact("handler-cycles-max", Stats.MaxCycles);
  Console::Fact("eoi-missing", Stats.LeftInService);
}

// The few numbers a reader looks for, in words.
void Summarize(const Plan& Settings, uint64_t SpanTsc, uint64_t PeriodTsc,
               const TickLog::Counters& Window, const Interrupts::HandlerStatistics& Stats) {
  Console::BeginLine();
  Console::Write("summary: period ");
  Console::WriteDecimal(Settings.Period);
  Console::Write(" x 100 ns = ");
  Console::WriteDecimal(PeriodTsc);
  Console::Write(" TSC ticks; over ");
  Console::WriteDecimal(Microseconds(SpanTsc, Settings.TscFrequency));
  Console::Write(" us of emulated time ");
  Console::WriteDecimal(Quotient(SpanTsc, PeriodTsc));
  Console::Write(" ticks expected, ");
  Console::WriteDecimal(Window.Calls);
  Console::Write(" seen");
  Console::EndLine();
  // Every interval is the period plus the time from the deadline to the handler's TSC read, so
  // the last tick that exact periods would put into the window falls just after it.
  if (Window.Calls < Quotient(SpanTsc, PeriodTsc)) {
    Console::BeginLine();
    Console::Write("summary: fewer seen, as each tick is re-armed from the handler's own TSC "
                   "read: the train of ticks runs late by the handler's latency");
    Console::EndLine();
  }
  Console::BeginLine();
  Console::Write("summary: driver interrupt handler ");
  Console::WriteDecimal(Quotient(Stats.TotalCycles, Stats.Calls));
  Console::Write(" TSC ticks per tick (");
  Console::WriteDecimal(Quotient(Window.SelfCycles, Window.Calls));
  Console::Write(" of them in the notify function)");
  Console::EndLine();
}

} // namespace

void Run(const Plan& Settings) {
  auto* Timer =
      static_cast<Uefi::TimerArchProtocol*>(ProtocolDatabase::Find(Uefi::TIMER_ARCH_PROTOCOL_GUID));
  if (Timer == nullptr) {
    return;
  }
  WindowCap = Settings.SpanPeriods * Settings.TscFrequency;

  // The driver's own first period, running with nobody registered.
  uint64_t DefaultPeriod = 0;
  Console::FactHex("get-period-status", Timer->GetTimerPeriod(Timer, &DefaultPeriod));
  Console::Fact("default-period", DefaultPeriod);
  Console::FactHex("get-period-null-status", Timer->GetTimerPeriod(Timer, nullptr));
  Interrupts::ResetStatistics(TIMER_VECTOR);
  SpinFrom(Cpu::ReadTsc(), CappedSpan(TscTicks(DefaultPeriod, Settings.TscFrequency),
                                      DEFAULT_PERIOD_WINDOW_TENTHS) /
                               TENTHS);
  // Counted before anything is printed: the ticks go on while a line goes out on the slow serial
  // port, and a short period would add one.
  const uint64_t DefaultWindowInterrupts = Interrupts::Statistics(TIMER_VECTOR).Calls;
  Console::Fact("default-window-tenths-of-periods", DEFAULT_PERIOD_WINDOW_TENTHS);
  Console::Fact("default-window-interrupts", DefaultWindowInterrupts);

  // A firmware core registers its tick function once; a second one is refused.
  TickLog::Restart(DefaultPeriod);
  Console::FactHex("register-status", Timer->RegisterHandler(Timer, &TickLog::Notify));
  Console::FactHex("register-again-status", Timer->RegisterHandler(Timer, &OtherNotify));

  // Counting window: the requested period for SpanPeriods periods of TSC time, from the TSC read
  // just before the period is set, so that the first tick is judged too. The serial port is slow
  // in emulated time and ticks go on while a line is written, so every window below is opened
  // and closed before anything is printed.
  const uint64_t PeriodTsc = TscTicks(Settings.Period, Settings.TscFrequency);
  const uint64_t SpanTsc = CappedSpan(PeriodTsc, Settings.SpanPeriods);
  const PeriodChange Counting = SetPeriod(Timer, Settings.Period);
  SpinFrom(Counting.TscBefore, SpanTsc);
  const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
  const TickLog::Counters Window = TickLog::Take();
  const Interrupts::HandlerStatistics WindowStats = Interrupts::Statistics(TIMER_VECTOR);
  Tpl::Restore(Old);
  uint64_t PeriodNow = 0;
  Timer->GetTimerPeriod(Timer, &PeriodNow);
  Console::FactHex("set-period-status", Counting.Status);
  Console::Fact("period", Settings.Period);
  Console::Fact("get-period", PeriodNow);
  Console::Fact("period-tsc", PeriodTsc);
  Console::Fact("span-tsc", SpanTsc);
  Console::Fact("window-cap-tsc", WindowCap);
  Console::Fact("set-period-tsc", Counting.TscBefore);
  Console::Fact("set-period-return-tsc", Counting.TscAfter);
  Console::Fact("first-deadline-tsc", Counting.Deadline);
  Console::Fact("window-end-tsc", Window.ClosedTsc);
  Console::Fact("ticks-expected", Quotient(SpanTsc, PeriodTsc));
  Console::Fact("ticks-seen", Window.Calls);
  Console::Fact("notify-wrong-time", Window.WrongTime);
  Console::Fact("notify-below-high-tpl", Window.NotHighTpl);
  Console::Fact("notify-interrupts-enabled", Window.InterruptsOn);
  Console::Fact("notify-before-eoi", Window.BeforeEoi);
  ReportHandler(WindowStats);
  Console::Fact("tick-stack-bytes", Interrupts::HandlerStackHighWater());
  TickLog::Report(Window, Counting.TscBefore, Counting.Deadline, PeriodTsc);

  // A soft interrupt calls the notify function once, at once, with the period.
  {
    const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
    TickLog::Restart(Settings.Period);
    const Uefi::Status Result = Timer->GenerateSoftInterrupt(Timer);
    const TickLog::Counters Soft = TickLog::Take();
    Tpl::Restore(Old);
    Console::FactHex("soft-interrupt-status", Result);
    Console::Fact("soft-interrupt-notifies", Soft.Calls);
    Console::Fact("soft-interrupt-wrong-time", Soft.WrongTime);
  }

  // Period 0 stops the timer: no tick, no interrupt, and soft interrupts are refused. At a short
  // period the next deadline can pass before the stop masks the timer: that one interrupt is
  // already with the APIC and still comes, with period 0.
  WaitForTick(CappedSpan(PeriodTsc, 2));
  const PeriodChange Stop = SetPeriod(Timer, 0);
  SpinFrom(Stop.TscAfter, SpanTsc);
  const TickLog::Counters Stopped = TickLog::Take();
  const uint64_t InterruptsAfterStop = Interrupts::Statistics(TIMER_VECTOR).Calls;
  Timer->GetTimerPeriod(Timer, &PeriodNow);
  TickLog::Restart(0);
  const Uefi::Status StoppedSoftStatus = Timer->GenerateSoftInterrupt(Timer);
  const TickLog::Counters StoppedSoft = TickLog::Take();
  Console::FactHex("stop-status", Stop.Status);
  Console::Fact("stop-found-tick-pending", Stop.Pending);
  Console::Fact("stopped-get-period", PeriodNow);
  Console::Fact("deadline-after-stop", Stop.Deadline);
  Console::Fact("ticks-after-stop", Stopped.Calls);
  Console::Fact("interrupts-after-stop", InterruptsAfterStop);
  Console::Fact("lvt-timer-masked-after-stop",
                (LocalApic::Read(LocalApic::REG_LVT_TIMER) & LocalApic::LVT_MASKED) != 0);
  Console::FactHex("stopped-soft-interrupt-status", StoppedSoftStatus);
  Console::Fact("stopped-soft-interrupt-notifies", StoppedSoft.Calls);

  // And back: the same period again brings the ticks back.
  const PeriodChange Restart = SetPeriod(Timer, Settings.Period);
  const uint64_t RestartTsc = CappedSpan(PeriodTsc, RESTART_WINDOW_PERIODS);
  SpinFrom(Restart.TscAfter, RestartTsc);
  const TickLog::Counters Restarted = TickLog::Take();
  Console::FactHex("restart-status", Restart.Status);
  Console::Fact("restart-window-tsc", RestartTsc);
  Console::Fact("ticks-after-restart", Restarted.Calls);
  Console::Fact("restart-wrong-time", Restarted.WrongTime);
  Console::Fact("restart-before-eoi", Restarted.BeforeEoi);

  // Unregistering: once succeeds, twice is refused; then the timer is left off.
  Console::FactHex("unregister-status", Timer->RegisterHandler(Timer, nullptr));
  Console::FactHex("unregister-again-status", Timer->RegisterHandler(Timer, nullptr));
  SetPeriod(Timer, 0);

  Summarize(Settings, SpanTsc, PeriodTsc, Window, WindowStats);
}

} // namespace TimerExercise
