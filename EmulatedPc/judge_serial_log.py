#!/usr/bin/env python3
"""Judges one serial log of the emulated PC: the driver's own lines, word for word, and the test
firmware's "[pc] ..." report against what a working timer driver must produce; or the board check's
console lines ("[con] ...") and what it left behind.

  judge_serial_log.py --expect timer|unsupported|halted|stack-fault|overflow|livelock|not-dispatched
                      [--apic xapic|x2apic] [--timer-mode tsc-deadline|one-shot|any] [--mode-reason TEXT]
                      [--dispatch-pass N] [--low-half-wraps] [--map FILE] [--settings FILE] LOG
  judge_serial_log.py --expect board-check --verdict KIND [--reason PATTERN ...] [--warning PATTERN ...]
                      [--exercise ran|TEXT] [--uart TEXT] [--auto-mode TEXT] [--driver-first] [--apic xapic|x2apic]
                      [--settings FILE] LOG

  timer            the driver installs its timer; every tick of the counting window is judged
  unsupported      a CPU without TSC-deadline: the driver declines and leaves nothing behind
  halted           a timer was there before the driver: it reports its assertion and halts
  stack-fault      the firmware overwrote the guard copy in the entry's frame: the entry reports
                   the stack fault before it returns, and halts
  overflow         a period shorter than the handler's path: the interrupt stack runs out
  livelock         a period shorter than the interrupt path: ticks come back to back
  not-dispatched   the driver's depex never holds: it is never started and prints nothing
  board-check      the board check application ran (instead of the driver, or after it with
                   --driver-first) and printed its lines, each judged against what the machine is
  --verdict KIND   the board check's verdict: suits, "suits, with warnings", "does not suit" or "suits a
                   build with -DVESK_TIMER_MODE=auto"
  --auto-mode TEXT the board check's "timer-mode-auto: TEXT" on a processor with TSC-deadline mode
                   (default: tsc-deadline (no erratum rules it out))
  --reason, --warning PATTERN  its reasons (does not suit, or why a build needs auto) and warnings, each matching one pattern
                   (a regular expression) and no more of them
  --exercise ran|TEXT  the exercise was asked for, and ran, or printed "exercise: TEXT"
  --uart TEXT      the board check's "uart: TEXT" (default: present at the build's port)
  --timer-mode     the mode the driver's timer must tick in (default tsc-deadline), or any: the
                   mode the entry left the LVT timer in, whatever it is
  --mode-reason TEXT  why, as the driver's line on its mode must say it (a build that may choose
                   prints one: VESK_TIMER_MODE auto or one-shot, with its messages on); without
                   it, any reason
  --dispatch-pass N the dispatcher's pass that must start the driver (default 1)
  --low-half-wraps the low half of the TSC must wrap during the counting window
  --map FILE       the image's linker map: the halt must be found in HaltUntilReleased, and a
                   stack fault must name a place in LapicTimerDriverEntry
  --settings FILE  the VeskLapicTimerDxe.settings of the build that was booted: its timer vector,
                   default period, TSC frequency token and the UART divisor of its debug rate are
                   expected, and no greeting or other message when VESK_DEBUG_MESSAGES=OFF
                   (assertions stay); the defaults without it

Prints one line per failed check, the figures it judged, and a verdict; exits 0 when every check
holds, 1 when one fails.
"""

import argparse
import re
import subprocess
import sys
from collections import namedtuple

import driver_settings
from board_check_judge import BoardCheckChecks

# ---- what the driver prints, exactly
GREETING = "Initializing LAPIC Timer Driver"
UNSUPPORTED_LINE = "LAPIC TSC-deadine mode is not supported. Unload LAPIC timer driver."
MODE_LINES = {"one-shot": r"LAPIC timer in one-shot mode at ([0-9]+) Hz: ", "tsc-deadline": r"LAPIC timer in TSC-deadline mode: "}
ASSERTION_LINE = re.compile(r"ASSERT \[VeskLapicTimerDxe\] ([^ ]*/)?VeskLapicTimerDxe/VeskLapicTimer\.cpp"
                            r"\([0-9]+\): &gEfiTimerArchProtocolGuid already installed in database")
STACK_FAULT_LINE = re.compile(r"STACK FAULT: Buffer Overflow in function VeskLapicTimerDxe\+(0x[0-9A-F]+)\.")
HALT_FUNCTION = "HaltUntilReleased"
GUARDED_ENTRY = "LapicTimerDriverEntry"
# ---- status codes, as the firmware prints them
SUCCESS, INVALID_PARAMETER = "0x0000000000000000", "0x8000000000000002"
UNSUPPORTED, DEVICE_ERROR, ALREADY_STARTED = "0x8000000000000003", "0x8000000000000007", "0x8000000000000014"
# ---- the machine's (the driver's settings come from --settings)
TPL_APPLICATION = 4
FIRMWARE_UART_DIVISOR = 1  # the test firmware's own rate, 115200 baud, until the driver sets its own
LVT_VECTOR_MASK, LVT_MASKED = 0xFF, 1 << 16
LVT_TIMER_MODE_SHIFT = 17
LVT_TIMER_MODES = {"one-shot": 0, "tsc-deadline": 2}
# bochs counts the local APIC timer at divide-by-1 at the TSC's own rate, so a one-shot count is a
# number of TSC ticks, and the longest, 2^32 - 1, is the furthest one arm of the timer reaches.
LARGEST_COUNT = (1 << 32) - 1
# A one-shot count runs from the driver's own TSC read, a little after the one its deadline was
# computed from: it is one period less the driver's steps between the two.
COUNT_SHORTFALL_MAX_TSC = 1000
SPURIOUS_APIC_ENABLE = 1 << 8
UNITS_PER_SECOND = 10_000_000
LARGEST = (1 << 64) - 1
# ---- tolerances
# The TSC rate the board states (the emulator's instructions per second) against the one the
# firmware measures with the 8254 interval timer, an independent clock.
TSC_FREQUENCY_TOLERANCE_PERCENT = 1
# The deadlines themselves need none: the driver reads the TSC between the interrupt's arrival at
# the dispatcher and the notify call, so each deadline lies between those two TSC values plus one
# period, exactly; the first one between the TSC values read around SetTimerPeriod plus one period.
# From its deadline to the dispatcher an interrupt takes about 35 TSC ticks on this machine; one
# that takes longer than this was held off, or the machine's deadline timer is off its TSC.
DELIVERY_LATENCY_MAX_TSC = 1000
# Each period is re-armed from the TSC read inside the handler, so the interrupt latency adds to
# every period: as many fewer ticks fit into the window.
TICK_LATENCY_PERCENT, TICK_LATENCY_MIN_TSC = 5, 1000
# The default period's window is 2.5 periods long: two or three interrupts, wherever it starts.
DEFAULT_WINDOW_INTERRUPTS = (2, 3)
# The restart window is a few periods long; the first tick comes one period after the restart,
# and the window is closed at any point of the last period.
RESTART_MISSING_MAX = 2
# A nested interrupt is one that found another one's handler running.
OVERFLOW_MIN_DEPTH = 2

# ---- the facts each ending must report, beyond those judged by hand below
FIRMWARE_USE = {"tpl-violations": 0, "unexpected-service-calls": 0, "unhandled-interrupts": 0,
                "tpl-final": TPL_APPLICATION}
ENTRY_DECLINED = {"cpu-tsc-deadline": 0, "entry-status": DEVICE_ERROR, "timer-protocol": "absent",
                  "apic-touched-by-entry": 0, "cpu-handler-registrations": 0, "pcd-tsc-frequency-reads": 0}
NEVER_STARTED = {"dispatch-pass": 0, "cpu-handler-registrations": 0, "pcd-tsc-frequency-reads": 0}
ENTRY_INSTALLED = {"entry-status": SUCCESS, "timer-protocol": "installed",
                   "timer-on-new-handle": 1, "cpu-handler-registrations": 1, "pcd-tsc-frequency-reads": 1,
                   "pcd-other-reads": 0}
# The driver's own first period before anyone registered; the firmware core's registration, its
# period, a soft interrupt, SetTimerPeriod(0) and a span without ticks, a restart, unregistering.
SERVICES = {"get-period-status": SUCCESS,
            "get-period-null-status": INVALID_PARAMETER, "register-status": SUCCESS,
            "register-again-status": ALREADY_STARTED, "set-period-status": SUCCESS,
            "soft-interrupt-status": SUCCESS, "soft-interrupt-notifies": 1, "soft-interrupt-wrong-time": 0,
            "stop-status": SUCCESS, "stopped-get-period": 0, "deadline-after-stop": 0,
            "lvt-timer-masked-after-stop": 1, "stopped-soft-interrupt-status": UNSUPPORTED,
            "stopped-soft-interrupt-notifies": 0, "restart-status": SUCCESS, "restart-wrong-time": 0,
            "restart-before-eoi": 0, "unregister-status": SUCCESS, "unregister-again-status": INVALID_PARAMETER}
# Every notify call with the period, at TPL_HIGH_LEVEL with interrupts off, after the end of interrupt.
NOTIFY_CALLS = {"notify-wrong-time": 0, "notify-below-high-tpl": 0, "notify-interrupts-enabled": 0,
                "notify-before-eoi": 0, "eoi-missing": 0}

# A pass that is no working timer says what passed, so that nobody reads it as one.
PASS_MEANING = {"unsupported": "the driver declined, as it must on a processor without TSC-deadline mode",
                "not-dispatched": "the driver never started, as it must without the CPU Architectural Protocol"}

FIRMWARE_PREFIX = "[pc] "
CONSOLE_PREFIX = "[con] "  # what an application writes on the console
TICK_LINE = re.compile(r"\[pc\] tick=([0-9]+) arrival-tsc=([0-9]{1,20}) deadline-tsc=([0-9]{1,20}) "
                       r"notify-tsc=([0-9]{1,20}) interval-tsc=(-?[0-9]+) lead-tsc=(-?[0-9]+)"
                       r"(?: initial-count=([0-9]{1,10}))?")
Tick = namedtuple("Tick", "index arrival deadline notify interval lead count line")


def unsigned(value):
    return value & LARGEST


def saturated(value):
    return min(value, LARGEST)


def hex64(value):
    return f"0x{unsigned(value):016X}"


class SerialLog:
    """The log read once: the firmware's facts (the last one of a key counts), its tick records up to
    the first malformed one, the console's lines, and the driver's own lines (every other line)."""

    def __init__(self, path):
        self.facts, self.driver_lines, self.ticks, self.console_lines = {}, [], [], []
        self.bare_line_ends, self.bare_console_line_ends, self.malformed_tick = 0, 0, None
        with open(path, "rb") as stream:
            raw_lines = stream.read().decode("latin-1").split("\n")
        for raw in raw_lines[:-1] if raw_lines[-1] == "" else raw_lines:
            line = raw.replace("\r", "")
            if raw.startswith(CONSOLE_PREFIX):
                self.console_lines.append(line[len(CONSOLE_PREFIX):])
                self.bare_console_line_ends += not raw.endswith("\r")
                continue
            if not raw.startswith(FIRMWARE_PREFIX):
                self.driver_lines.append(line)
                self.bare_line_ends += not raw.endswith("\r")
                continue
            key, equals, value = line[len(FIRMWARE_PREFIX):].partition("=")
            if equals and re.fullmatch(r"[a-z0-9-]*", key):
                self.facts[key] = value
            if key == "tick" and self.malformed_tick is None:
                match = TICK_LINE.fullmatch(line)
                if match:
                    self.ticks.append(Tick(*(None if group is None else int(group) for group in match.groups()),
                                           line))
                else:
                    self.malformed_tick = line
        while self.driver_lines and self.driver_lines[-1] == "":
            self.driver_lines.pop()

    def fact(self, key):
        return self.facts.get(key, "")

    def number(self, key):
        """A decimal fact; -1 when it is missing or no number."""
        value = self.fact(key)
        return int(value) if re.fullmatch(r"[0-9]{1,20}", value) else -1

    def integer(self, key):
        """A fact in the firmware's hexadecimal or decimal; 0 when missing."""
        try:
            return int(self.fact(key), 0)
        except ValueError:
            return 0


class Judge(BoardCheckChecks):
    def __init__(self, log, args):
        self.log, self.args, self.failures = log, args, 0
        settings = args.settings
        self.vector = int(settings["VESK_TIMER_VECTOR"], 16)
        self.default_period = int(settings["VESK_DEFAULT_TIMER_PERIOD"])
        self.token = int(settings["VESK_TSC_FREQUENCY_TOKEN"])
        self.port = int(settings["VESK_DEBUG_UART_PORT"], 16)
        self.messages = settings["VESK_DEBUG_MESSAGES"] == "ON"
        self.uart_divisor = driver_settings.uart_divisor(settings)
        self.greeting = (GREETING,) if self.messages else ()
        # A build that may choose its timer mode says which it took once the timer is programmed.
        mode = args.timer_mode
        if mode == "any":
            lvt_mode = log.integer("lvt-timer-after-entry") >> LVT_TIMER_MODE_SHIFT & 3
            mode = next((name for name, bits in LVT_TIMER_MODES.items() if bits == lvt_mode), "tsc-deadline")
        self.timer_mode, self.one_shot = mode, mode == "one-shot"
        chooses = settings["VESK_TIMER_MODE"] != "tsc-deadline" and self.messages
        reason = re.escape(args.mode_reason) if args.mode_reason is not None else ".+"
        self.mode_line = (re.compile(MODE_LINES[mode] + reason),) * chooses
        self.started = self.greeting + self.mode_line

    def fail(self, text):
        print(f"  FAIL: {text}")
        self.failures += 1

    @staticmethod
    def figure(text):
        print(f"  {text}")

    def verdict(self):
        meaning = PASS_MEANING.get(self.args.expect)
        if self.args.expect == "timer":
            meaning = f"the timer ticked in {self.timer_mode} mode, every tick on time"
        passed = f"pass: {meaning}" if meaning else "pass"
        print(f"  verdict: {passed}" if self.failures == 0 else f"  verdict: FAIL ({self.failures} checks)")
        sys.exit(0 if self.failures == 0 else 1)

    def expect_fact(self, key, expected):
        value = self.log.fact(key)
        if value != str(expected):
            self.fail(f"{key} is '{value or 'missing'}', expected '{expected}'")

    def expect_facts(self, table):
        for key, expected in table.items():
            self.expect_fact(key, expected)

    def expect_range(self, key, low, high):
        value = self.log.number(key)
        if not low <= value <= high:
            self.fail(f"{key} is {value}, expected between {low} and {high}")

    def expect_result(self, result):
        """How the run ended: when not as expected, the rest of the report is missing or moot."""
        self.expect_fact("result", result)
        if self.log.fact("result") != result:
            self.verdict()

    def expect_driver_lines(self, *expected):
        """Each expected line is a text, or a compiled pattern the whole line must match."""
        actual = self.log.driver_lines
        if len(actual) != len(expected) or not all(
                line == want if isinstance(want, str) else want.fullmatch(line)
                for line, want in zip(actual, expected)):
            self.fail(f"the driver's lines differ from the {len(expected)} expected; it wrote {len(actual)}:")
            for line in actual:
                print(f"        | {line}")

    # ---- what the firmware counted over the whole boot, reported when it ran to the end
    def check_firmware_use(self):
        self.expect_facts(FIRMWARE_USE)
        raises, restores = self.log.fact("tpl-raises"), self.log.fact("tpl-restores")
        if raises != restores:
            self.fail(f"RaiseTPL called {raises} times but RestoreTPL {restores} times")
        stated = self.log.number("tsc-frequency")
        allowance = stated * TSC_FREQUENCY_TOLERANCE_PERCENT // 100
        self.expect_range("tsc-frequency-measured", stated - allowance, stated + allowance)

    def check_apic_after_entry(self):
        """The APIC enabled in software, the LVT timer on our vector, in the expected mode, running."""
        if self.log.integer("spurious-after-entry") & SPURIOUS_APIC_ENABLE == 0:
            self.fail("the local APIC is not enabled in software after the entry")
        lvt = self.log.integer("lvt-timer-after-entry")
        if lvt & LVT_VECTOR_MASK != self.vector:
            self.fail(f"LVT timer vector is 0x{lvt & LVT_VECTOR_MASK:X}, not 0x{self.vector:X}")
        if (lvt >> LVT_TIMER_MODE_SHIFT) & 3 != LVT_TIMER_MODES[self.timer_mode]:
            self.fail(f"LVT timer is not in {self.timer_mode} mode")
        if lvt & LVT_MASKED:
            self.fail("LVT timer still masked after the entry")

    def check_services(self):
        self.expect_facts({**SERVICES, "default-period": self.default_period})
        self.expect_range("default-window-interrupts", *DEFAULT_WINDOW_INTERRUPTS)
        self.expect_fact("get-period", self.log.fact("period"))
        # After the stop, only the tick the APIC had already accepted, if any, may still come.
        pending = self.log.fact("stop-found-tick-pending")
        self.expect_facts({"ticks-after-stop": pending, "interrupts-after-stop": pending})

    def reach(self, period):
        """How far one arm of the timer reaches: a period, or in one-shot mode at most the longest count."""
        return min(period, LARGEST_COUNT) if self.one_shot else period

    def check_notify_calls(self):
        """One interrupt a tick; where one count cannot hold a period, the interrupts before its
        deadline, each re-armed without a notify call, and a few of the next tick's at the window's end."""
        calls, seen = self.log.number("handler-calls"), self.log.number("ticks-seen")
        period = self.log.number("period-tsc")
        arms = -(-period // self.reach(period)) if period > 0 else 1
        if not seen * arms <= calls <= seen * arms + arms - 1:
            self.fail(f"handler ran {calls} times for {seen} notify calls, {arms} interrupts a tick")
        self.expect_facts(NOTIFY_CALLS)
        fact = self.log.fact
        self.figure(f"handler: {fact('handler-cycles-mean')} TSC ticks mean ({fact('handler-cycles-min')}.."
                    f"{fact('handler-cycles-max')}), {fact('notify-cycles-mean')} of them in the notify function")

    # ---- the counting window
    def check_tick_counts(self):
        """No more ticks than fit into the window one period apart, and no fewer than fit in at the
        period plus the latency. A period of no TSC ticks arms each deadline at the TSC just read:
        nothing is divided by it, and its interrupts end the run before this point."""
        number = self.log.number
        period_tsc = number("period-tsc")
        if period_tsc != saturated(number("period") * number("tsc-frequency") // UNITS_PER_SECOND):
            self.fail(f"period-tsc {self.log.fact('period-tsc')} is not period x frequency / 10^7")
        if period_tsc <= 0:
            return
        slowest = saturated(period_tsc + max(period_tsc * TICK_LATENCY_PERCENT // 100, TICK_LATENCY_MIN_TSC))
        window = number("window-end-tsc") - number("set-period-tsc")
        self.expect_range("ticks-seen", unsigned(number("span-tsc")) // slowest - 1,
                          unsigned(window) // period_tsc)
        self.check_ticks(period_tsc)
        restart_ticks = unsigned(number("restart-window-tsc")) // period_tsc
        self.expect_range("ticks-after-restart", restart_ticks - RESTART_MISSING_MAX, restart_ticks)

    def check_ticks(self, period):
        """Every tick of the counting window, from its "[pc] tick=" line. Each arms the timer one reach
        after the TSC the driver reads between the interrupt's arrival and the notify call: one period,
        or the longest count where that is shorter; the next tick must come at the deadline armed,
        which then lies a period after that TSC read."""
        number, ticks, reach = self.log.number, self.log.ticks, self.reach(period)
        opened, returned = number("set-period-tsc"), number("set-period-return-tsc")
        first, closed = number("first-deadline-tsc"), number("window-end-tsc")
        if not saturated(opened + reach) <= first <= saturated(returned + reach):
            self.fail(f"the first deadline {first} is not {reach} TSC ticks after the TSC read around "
                      f"SetTimerPeriod ({opened}..{returned})")
        if self.args.low_half_wraps and opened >> 32 == closed >> 32:
            self.fail(f"the low half of the TSC does not wrap in the window ({hex64(opened)}..{hex64(closed)})")

        early = before = late = misplaced = miscounted = 0
        previous, intervals = opened, []
        earliest, latest = ((first, first) if reach == period else
                            (saturated(opened + period), saturated(returned + period)))
        for count, tick in enumerate(ticks):
            if (tick.index, tick.interval, tick.lead) != (count, tick.arrival - previous,
                                                          tick.deadline - tick.arrival):
                self.fail(f"tick line {count} does not add up: {tick.line}")
            interval = unsigned(tick.arrival - previous)
            early += interval < period
            before += tick.arrival < earliest
            late += tick.arrival > saturated(latest + DELIVERY_LATENCY_MAX_TSC)
            if not saturated(tick.arrival + reach) <= tick.deadline <= saturated(tick.notify + reach):
                if misplaced == 0:
                    self.fail(f"tick {count} armed {tick.deadline}, not {reach} TSC ticks after its arrival "
                              f"{tick.arrival} and before its notify call {tick.notify} + {reach}")
                misplaced += 1
            # In one-shot mode, the count armed: the whole reach but for the driver's steps, or the
            # longest where the period is longer.
            if self.one_shot and not (tick.count == LARGEST_COUNT if reach < period else
                                      reach - COUNT_SHORTFALL_MAX_TSC <= (tick.count or 0) <= reach):
                if miscounted == 0:
                    self.fail(f"tick {count} armed a count of {tick.count} for a reach of {reach} TSC ticks")
                miscounted += 1
            intervals += [interval] if count else []
            previous = tick.arrival
            earliest, latest = ((tick.deadline, tick.deadline) if reach == period else
                                (saturated(tick.arrival + period), saturated(tick.notify + period)))
        if self.log.malformed_tick is not None:
            return self.fail(f"tick line {len(ticks)} is malformed: {self.log.malformed_tick}")

        for count, what in ((misplaced, "ticks armed their deadline out of place"),
                            (early, "ticks came less than one period after the one before"),
                            (before, "ticks arrived before their deadline"),
                            (miscounted, "ticks armed a count out of place"),
                            (late, f"ticks arrived more than {DELIVERY_LATENCY_MAX_TSC} TSC ticks after "
                                   "their deadline")):
            if count:
                self.fail(f"{count} {what}")
        self.expect_facts({"tick-records": len(ticks), "tick-records-dropped": 0, "early-ticks": early,
                           "ticks-before-deadline": before})
        self.figure(f"window: TSC {hex64(opened)}..{hex64(closed)}, {len(ticks)} ticks at period {period} "
                    "TSC ticks")
        if intervals:
            shortest, longest = min(intervals), max(intervals)
            self.expect_facts({"tick-interval-min-tsc": shortest, "tick-interval-max-tsc": longest,
                               "tick-interval-spread-tsc": longest - shortest,
                               "tick-interval-mean-tsc": (previous - ticks[0].arrival) // len(intervals)})
            self.figure(f"intervals: shortest {shortest}, longest {longest}, mean "
                        f"{self.log.fact('tick-interval-mean-tsc')}, spread {longest - shortest} TSC ticks")
        if ticks:
            leads = [unsigned(tick.deadline - tick.arrival) - reach for tick in ticks]
            self.figure(f"deadlines: {min(leads)}..{max(leads)} TSC ticks more than {reach} after their "
                        "interrupt's arrival")
        self.figure(f"first deadline: {hex64(first)}, {unsigned(first - opened)} TSC ticks after the TSC read "
                    "before SetTimerPeriod")
        self.figure(f"early ticks {early}, before their deadline {before}, late {late}")

    # ---- where the driver stopped, by the image's linker map
    def function_at(self, offset):
        """The last symbol of the code section ("0001:") at or below an image offset, as the source
        names it."""
        holder, best = "", -1
        with open(self.args.map, encoding="latin-1") as stream:
            for fields in map(str.split, stream):
                if (len(fields) >= 3 and fields[0].startswith("0001:")
                        and re.fullmatch(r"[0-9a-fA-F]{16}", fields[2]) and best <= int(fields[2], 16) <= offset):
                    best, holder = int(fields[2], 16), fields[1]
        return demangled(holder)

    def check_place(self, offset, text, function):
        holder = self.function_at(offset)
        if function not in holder:
            self.fail(f"{text}, in {holder or 'no function'}, not in {function}")
        return holder

    def check_halt_place(self):
        """Where the samples found the halted driver: in its halt loop."""
        if self.args.map:
            place = self.log.fact("halt-rip-offset")
            holder = self.check_place(self.log.integer("halt-rip-offset"),
                                      f"the halt was found at image offset {place}", HALT_FUNCTION)
            self.figure(f"halt: image offset {place} in {holder}, {self.log.fact('halt-rip-spread-bytes')} "
                        "bytes of spread")

    # ---- one judgement per expected ending
    def unsupported(self):
        # Without debug messages the driver declines in silence.
        self.expect_driver_lines(*((GREETING, UNSUPPORTED_LINE) if self.messages else ()))
        self.expect_result("done")
        self.check_firmware_use()
        self.expect_facts(ENTRY_DECLINED)

    def halted(self):
        # The greeting, the assertion, and nothing more from the driver: its entry never returns.
        self.expect_driver_lines(*self.greeting, ASSERTION_LINE)
        self.expect_fact("timer-preinstalled", 1)
        self.expect_result("halted")
        self.check_halt_place()

    def stack_fault(self):
        # The greeting, then the report of the guard that failed on the way out of the entry.
        self.expect_driver_lines(*self.started, STACK_FAULT_LINE)
        if not self.log.fact("guard-smashed-at").startswith("0x"):
            self.fail("the firmware found no guard copy to overwrite")
        self.expect_result("halted")
        if self.args.map:
            reports = filter(None, map(STACK_FAULT_LINE.fullmatch, self.log.driver_lines))
            place = next((report[1] for report in reports), "")
            holder = self.check_place(int(place or "0", 16), f"the stack fault names image offset {place}",
                                      GUARDED_ENTRY)
            self.figure(f"stack fault: image offset {place} in {holder}")
        self.check_halt_place()

    def overflow(self):
        self.expect_driver_lines(*self.started)
        self.expect_result("interrupt-stack-overflow")
        depth = self.log.number("interrupt-nesting-depth")
        if depth < OVERFLOW_MIN_DEPTH:
            self.fail(f"the overflow came at nesting depth {depth}")
        self.figure(f"overflow: interrupt nesting depth {depth}, handler stack "
                    f"{self.log.fact('handler-stack-bytes')} bytes used")

    def livelock(self):
        self.expect_driver_lines(*self.started)
        self.expect_result("interrupt-livelock")
        fact = self.log.fact
        self.figure(f"livelock: {fact('starved-outside-handlers-tsc')} of {fact('starved-over-tsc')} TSC ticks "
                    f"outside the handlers over {fact('starved-dispatches')} interrupts")

    def not_dispatched(self):
        self.expect_driver_lines()
        self.expect_result("not-dispatched")
        self.check_firmware_use()
        self.expect_facts(NEVER_STARTED)

    def check_mode_line(self):
        """The one-shot timer's rate the driver measured, against the TSC's: bochs counts both alike."""
        rates = [match[1] for match in map(re.compile(MODE_LINES["one-shot"] + ".*").fullmatch,
                                            self.log.driver_lines) if match]
        if self.one_shot and rates:
            stated = self.log.number("tsc-frequency")
            if abs(int(rates[0]) - stated) * 100 > stated * TSC_FREQUENCY_TOLERANCE_PERCENT:
                self.fail(f"the driver measured its timer at {rates[0]} Hz; it counts at the TSC's {stated} Hz")

    def timer(self):
        self.expect_driver_lines(*self.started)
        self.expect_result("done")
        self.check_firmware_use()
        self.expect_facts({**ENTRY_INSTALLED, "cpu-handler-vector": hex64(self.vector)})
        if not self.one_shot:
            self.expect_fact("cpu-tsc-deadline", 1)
        self.check_mode_line()
        self.check_apic_after_entry()
        self.check_services()
        self.check_tick_counts()
        self.check_notify_calls()

    def run(self):
        if self.log.bare_line_ends:
            self.fail("a driver line does not end in carriage return and line feed")
        self.expect_fact("apic-mode", self.args.apic)
        # Reported as it happens, so that a driver that asks for another token is named in any ending.
        if self.log.fact("pcd-undefined-read"):
            self.fail(f"the driver read configuration {self.log.fact('pcd-undefined-read')}; the TSC frequency "
                      f"is token {self.token}")
        driver_started = self.args.expect != "not-dispatched" and (self.args.expect != "board-check"
                                                                   or self.args.driver_first)
        if driver_started:
            self.expect_fact("dispatch-pass", self.args.dispatch_pass)
        # The rate the port was left at, read back from the UART's divisor latch at the end: the log
        # reads the same at any rate, a terminal set to the platform's rate does not.
        self.expect_fact("uart-divisor", self.uart_divisor if driver_started else FIRMWARE_UART_DIVISOR)
        getattr(self, self.args.expect.replace("-", "_"))()
        self.verdict()


def demangled(symbol):
    """A C++ symbol of the map as its source names it (_Z17HaltUntilReleasedv: HaltUntilReleased());
    the symbol itself when it is no C++ name, or llvm-cxxfilt is not there to read it."""
    try:
        answer = subprocess.run(["llvm-cxxfilt", symbol], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return symbol
    return answer.stdout.strip() or symbol


def read_log(path):
    try:
        return SerialLog(path)
    except OSError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1],
                                     description=__doc__.split("\n\n", 2)[2],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--expect", required=True,
                        choices=("timer", "unsupported", "halted", "stack-fault", "overflow", "livelock",
                                 "not-dispatched", "board-check"))
    parser.add_argument("--apic", default="xapic", choices=("xapic", "x2apic"))
    parser.add_argument("--timer-mode", default="tsc-deadline", choices=(*MODE_LINES, "any"))
    parser.add_argument("--mode-reason")
    parser.add_argument("--dispatch-pass", type=int, default=1)
    parser.add_argument("--low-half-wraps", action="store_true")
    parser.add_argument("--map")
    parser.add_argument("--settings", type=driver_settings.read, default="")
    parser.add_argument("--verdict", choices=("suits", "suits, with warnings", "does not suit",
                                              "suits a build with -DVESK_TIMER_MODE=auto"))
    parser.add_argument("--auto-mode", default="tsc-deadline (no erratum rules it out)")
    parser.add_argument("--reason", action="append", default=[])
    parser.add_argument("--warning", action="append", default=[])
    parser.add_argument("--exercise")
    parser.add_argument("--uart")
    parser.add_argument("--driver-first", action="store_true")
    parser.add_argument("log", type=read_log)
    args = parser.parse_args()
    if args.expect == "board-check" and args.verdict is None:
        parser.error("--expect board-check needs the --verdict expected")
    Judge(args.log, args).run()


if __name__ == "__main__":
    main()
