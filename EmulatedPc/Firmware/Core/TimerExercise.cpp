#include "Core/TimerExercise.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/LocalApic.h"
#include "Services/Interrupts.h"
#include "Services/ProtocolDatabase.h"
#include "Services/Tpl.h"
#include "Uefi/Protocols.h"

namespace TimerExercise {
namespace {

constexpr uint8_t TIMER_VECTOR = 0x40;
constexpr uint64_t UNITS_PER_SECOND = 10000000;       // 100 ns units
constexpr uint64_t DEFAULT_PERIOD_WINDOW_TENTHS = 25; // 2.5 default periods
constexpr uint64_t TENTHS = 10;
constexpr uint64_t RESTART_WINDOW_PERIODS = 5;

// What the notify function saw; written at TPL_HIGH_LEVEL, read with interrupts off.
struct NotifyLog {
  uint64_t Calls;
  uint64_t WrongTime;        // called with another value than the period in force
  uint64_t NotHighTpl;       // called below TPL_HIGH_LEVEL
  uint64_t InterruptsOn;     // called with interrupts enabled
  uint64_t DeadlineNotArmed; // a timer tick whose handler had not armed the next deadline
  uint64_t FirstTsc;
  uint64_t LastTsc;
  uint64_t SelfCycles;
};

NotifyLog Log;
uint64_t ExpectedTime = 0;

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
  if (Interrupts::Dispatching(TIMER_VECTOR) && Time != 0 &&
      Cpu::ReadMsr(LocalApic::MSR_TSC_DEADLINE) <= Now) {
    ++Log.DeadlineNotArmed;
  }
  if (Log.Calls == 1) {
    Log.FirstTsc = Now;
  }
  Log.LastTsc = Now;
  Log.SelfCycles += Cpu::ReadTsc() - Now;
}

FIRMWARE_API void OtherNotify(uint64_t) {}

NotifyLog TakeLog() {
  const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
  const NotifyLog Copy = Log;
  Log = {};
  Tpl::Restore(Old);
  return Copy;
}

void Spin(uint64_t Ticks) {
  const uint64_t Start = Cpu::ReadTsc();
  while (Cpu::ReadTsc() - Start < Ticks) {
    Cpu::Pause();
  }
}

// Waits for the next tick, so that what follows starts right after one and far from the next.
void WaitForTick(uint64_t Limit) {
  const uint64_t Start = Cpu::ReadTsc();
  const uint64_t Seen = Interrupts::Statistics(TIMER_VECTOR).Calls;
  while (Interrupts::Statistics(TIMER_VECTOR).Calls == Seen && Cpu::ReadTsc() - Start < Limit) {
    Cpu::Pause();
  }
}

// Sets the period with interrupts held off, so that no tick falls between the change and the
// notify function's knowledge of it.
Uefi::Status SetPeriod(Uefi::TimerArchProtocol* Timer, uint64_t Period) {
  const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
  ExpectedTime = Period;
  const Uefi::Status Result = Timer->SetTimerPeriod(Timer, Period);
  Tpl::Restore(Old);
  return Result;
}

uint64_t Mean(uint64_t Total, uint64_t Count) {
  return Count == 0 ? 0 : Total / Count;
}

void ReportHandler(const Interrupts::HandlerStatistics& Stats, const NotifyLog& Seen) {
  Console::Fact("handler-calls", Stats.Calls);
  Console::Fact("handler-cycles-mean", Mean(Stats.TotalCycles, Stats.Calls));
  Console::Fact("handler-cycles-min", Stats.MinCycles);
  Console::Fact("handler-cycles-max", Stats.MaxCycles);
  Console::Fact("notify-cycles-mean", Mean(Seen.SelfCycles, Seen.Calls));
  Console::Fact("eoi-missing", Stats.LeftInService);
}

// The few numbers a reader looks for, in words.
void Summarize(const Plan& Settings, uint64_t SpanTsc, uint64_t PeriodTsc, const NotifyLog& Window,
               const Interrupts::HandlerStatistics& Stats) {
  constexpr uint64_t MICROSECONDS_PER_SECOND = 1000000;
  Console::BeginLine();
  Console::Write("summary: period ");
  Console::WriteDecimal(Settings.Period);
  Console::Write(" x 100 ns = ");
  Console::WriteDecimal(PeriodTsc);
  Console::Write(" TSC ticks; over ");
  Console::WriteDecimal(SpanTsc * MICROSECONDS_PER_SECOND / Settings.TscFrequency);
  Console::Write(" us of emulated time ");
  Console::WriteDecimal(SpanTsc / PeriodTsc);
  Console::Write(" ticks expected, ");
  Console::WriteDecimal(Window.Calls);
  Console::Write(" seen");
  Console::EndLine();
  Console::BeginLine();
  Console::Write("summary: mean tick interval ");
  Console::WriteDecimal(Window.Calls < 2 ? 0
                                         : (Window.LastTsc - Window.FirstTsc) / (Window.Calls - 1));
  Console::Write(" TSC ticks; driver interrupt handler ");
  Console::WriteDecimal(Mean(Stats.TotalCycles, Stats.Calls));
  Console::Write(" TSC ticks per tick (");
  Console::WriteDecimal(Mean(Window.SelfCycles, Window.Calls));
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

  // The driver's own first period, running with nobody registered.
  uint64_t DefaultPeriod = 0;
  Console::FactHex("get-period-status", Timer->GetTimerPeriod(Timer, &DefaultPeriod));
  Console::Fact("default-period", DefaultPeriod);
  Console::FactHex("get-period-null-status", Timer->GetTimerPeriod(Timer, nullptr));
  Interrupts::ResetStatistics(TIMER_VECTOR);
  Spin(DefaultPeriod * Settings.TscFrequency / UNITS_PER_SECOND * DEFAULT_PERIOD_WINDOW_TENTHS /
       TENTHS);
  Console::Fact("default-window-tenths-of-periods", DEFAULT_PERIOD_WINDOW_TENTHS);
  Console::Fact("default-window-interrupts", Interrupts::Statistics(TIMER_VECTOR).Calls);

  // A firmware core registers its tick function once; a second one is refused.
  ExpectedTime = DefaultPeriod;
  Console::FactHex("register-status", Timer->RegisterHandler(Timer, &Notify));
  Console::FactHex("register-again-status", Timer->RegisterHandler(Timer, &OtherNotify));

  // Counting window: the requested period for SpanPeriods periods of TSC time.
  const uint64_t PeriodTsc = Settings.Period * Settings.TscFrequency / UNITS_PER_SECOND;
  const uint64_t SpanTsc = PeriodTsc * Settings.SpanPeriods;
  const Uefi::Status SetStatus = SetPeriod(Timer, Settings.Period);
  TakeLog();
  Interrupts::ResetStatistics(TIMER_VECTOR);
  Spin(SpanTsc);
  const NotifyLog Window = TakeLog();
  const Interrupts::HandlerStatistics WindowStats = Interrupts::Statistics(TIMER_VECTOR);
  uint64_t PeriodNow = 0;
  Timer->GetTimerPeriod(Timer, &PeriodNow);
  Console::FactHex("set-period-status", SetStatus);
  Console::Fact("period", Settings.Period);
  Console::Fact("get-period", PeriodNow);
  Console::Fact("period-tsc", PeriodTsc);
  Console::Fact("span-tsc", SpanTsc);
  Console::Fact("ticks-expected", SpanTsc / PeriodTsc);
  Console::Fact("ticks-seen", Window.Calls);
  Console::Fact("tick-interval-mean-tsc",
                Window.Calls < 2 ? 0 : (Window.LastTsc - Window.FirstTsc) / (Window.Calls - 1));
  Console::Fact("notify-wrong-time", Window.WrongTime);
  Console::Fact("notify-below-high-tpl", Window.NotHighTpl);
  Console::Fact("notify-interrupts-enabled", Window.InterruptsOn);
  Console::Fact("deadline-not-rearmed", Window.DeadlineNotArmed);
  ReportHandler(WindowStats, Window);
  Console::Fact("tick-stack-bytes", Interrupts::HandlerStackHighWater());

  // A soft interrupt calls the notify function once, at once, with the period.
  {
    const Uefi::Tpl Old = Tpl::Raise(Uefi::TPL_HIGH_LEVEL);
    TakeLog();
    const Uefi::Status Result = Timer->GenerateSoftInterrupt(Timer);
    const NotifyLog Soft = TakeLog();
    Tpl::Restore(Old);
    Console::FactHex("soft-interrupt-status", Result);
    Console::Fact("soft-interrupt-notifies", Soft.Calls);
    Console::Fact("soft-interrupt-wrong-time", Soft.WrongTime);
  }

  // Period 0 stops the timer: no tick, no interrupt, and soft interrupts are refused.
  // The serial port is slow in emulated time and ticks go on while a line is written, so every
  // window below is opened and closed before anything is printed.
  WaitForTick(2 * PeriodTsc);
  const Uefi::Status StopStatus = SetPeriod(Timer, 0);
  const uint64_t DeadlineAfterStop = Cpu::ReadMsr(LocalApic::MSR_TSC_DEADLINE);
  TakeLog();
  Interrupts::ResetStatistics(TIMER_VECTOR);
  Spin(SpanTsc);
  const NotifyLog Stopped = TakeLog();
  const uint64_t InterruptsAfterStop = Interrupts::Statistics(TIMER_VECTOR).Calls;
  Timer->GetTimerPeriod(Timer, &PeriodNow);
  const Uefi::Status StoppedSoftStatus = Timer->GenerateSoftInterrupt(Timer);
  const NotifyLog StoppedSoft = TakeLog();
  Console::FactHex("stop-status", StopStatus);
  Console::Fact("stopped-get-period", PeriodNow);
  Console::Fact("deadline-after-stop", DeadlineAfterStop);
  Console::Fact("ticks-after-stop", Stopped.Calls);
  Console::Fact("interrupts-after-stop", InterruptsAfterStop);
  Console::Fact("lvt-timer-masked-after-stop",
                (LocalApic::Read(LocalApic::REG_LVT_TIMER) & LocalApic::LVT_MASKED) != 0);
  Console::FactHex("stopped-soft-interrupt-status", StoppedSoftStatus);
  Console::Fact("stopped-soft-interrupt-notifies", StoppedSoft.Calls);

  // And back: the same period again brings the ticks back.
  const Uefi::Status RestartStatus = SetPeriod(Timer, Settings.Period);
  TakeLog();
  Spin(PeriodTsc * RESTART_WINDOW_PERIODS);
  const NotifyLog Restarted = TakeLog();
  Console::FactHex("restart-status", RestartStatus);
  Console::Fact("restart-window-periods", RESTART_WINDOW_PERIODS);
  Console::Fact("ticks-after-restart", Restarted.Calls);
  Console::Fact("restart-wrong-time", Restarted.WrongTime);

  // Unregistering: once succeeds, twice is refused; then the timer is left off.
  Console::FactHex("unregister-status", Timer->RegisterHandler(Timer, nullptr));
  Console::FactHex("unregister-again-status", Timer->RegisterHandler(Timer, nullptr));
  SetPeriod(Timer, 0);

  Summarize(Settings, SpanTsc, PeriodTsc, Window, WindowStats);
}

} // namespace TimerExercise
