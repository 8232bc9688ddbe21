"""The judgement of a board check run: the application's console lines ("[con] name: value"), in
their fixed order, each value against what the emulated PC knows of itself (the processor's own
CPUID answers, the emulated TSC rate, the configuration database's answer, the timer the firmware
core set), the verdict against the scenario's reasons and warnings, and what the firmware saw the
application leave behind."""

import re

# Every line the board check prints, in its order; the exercise's lines only when it was asked for.
NAMES = ("board-check", "cpu-vendor", "cpu-signature", "cpu-microcode", "hypervisor", "tsc-deadline", "x2apic",
         "invariant-tsc", "arat", "apic-mode", "lvt-timer", "tsc-hz-cpuid-15", "tsc-hz-cpuid-16", "tsc-hz-pit",
         "tsc-hz-pm-timer", "tsc-hz-measured", "apic-timer-hz", "timer-mode-auto", "pcd-tsc-hz", "uart",
         "present-timer", "exercise", "exercise-fired",
         "exercise-early", "exercise-latency-tsc", "exercise-latency-us", "verdict", "settings")
EXERCISE_FIGURES = ("exercise-fired", "exercise-early", "exercise-latency-tsc", "exercise-latency-us")
# Bits of the processor's answers (CPUID leaf 1 ECX, leaf 6 EAX, leaf 0x80000007 EDX).
X2APIC, TSC_DEADLINE, HYPERVISOR, ARAT, INVARIANT_TSC = 1 << 21, 1 << 24, 1 << 31, 1 << 2, 1 << 8
LVT_MODES = ("one-shot", "periodic", "tsc-deadline", "reserved")
# Each measured rate against the emulated one (the instructions per second, which the TSC follows).
RATE_TOLERANCE_PERCENT = 1
PER_MILLE_ROUNDING = 1
# An interrupt takes about 35 TSC ticks from its deadline to the dispatcher here (as the driver's
# ticks are judged); the application's handler reads the TSC a little later.
LATENCY_MAX_TSC = 1000
STACK_BYTES = 16 * 1024  # the painted stack the application runs on
SUCCESS, UNSUPPORTED = "0x0000000000000000", "0x8000000000000003"  # suits; does not suit
AUTO_BUILD = "suits a build with -DVESK_TIMER_MODE=auto"

RATE = re.compile(r"([0-9]+), spread ([0-9]+) ppm over ([0-9]+) rounds")
MEASURED = re.compile(r"([0-9]+) \((8254|PM timer)\)")
APIC_TIMER = re.compile(r"([0-9]+) \(divide by 1\)")
PCD = re.compile(r"([0-9]+) \(token ([0-9]+)\), ([0-9]+) per mille from the measured rate")
EXERCISE = re.compile(r"([0-9]+) deadlines ([0-9]+) ms apart in (one-shot|tsc-deadline) mode on vector (0x[0-9A-F]+)")
FIRED = re.compile(r"([0-9]+) of ([0-9]+)")
LATENCY_TSC = re.compile(r"min (-?[0-9]+), mean (-?[0-9]+), max (-?[0-9]+)")
LATENCY_US = re.compile(r"min (-?[0-9]+\.[0-9]{3}), mean (-?[0-9]+\.[0-9]{3}), max (-?[0-9]+\.[0-9]{3})")


def yes_no(value):
    return "yes" if value else "no"


def hex_value(text):
    return int(text, 16)


class BoardCheckChecks:
    """Mixed into the judge: uses its log, arguments, settings and failure reporting."""

    def board_check(self):
        args, fact = self.args, self.log.fact
        self.expect_driver_lines(*(self.started if args.driver_first else ()))
        if not args.driver_first and fact("dispatch-pass"):
            self.fail("the driver was dispatched, though only the board check was to start")
        self.expect_result("done")
        self.check_firmware_use()
        if args.driver_first:
            self.expect_facts({"entry-status": SUCCESS, "timer-protocol": "installed",
                               "core-set-period-status": SUCCESS})
            self.check_apic_after_entry()
        self.check_left_behind()
        lines = self.console_values()
        if lines is None:
            return
        self.check_processor_lines(lines)
        self.check_rate_lines(lines)
        self.check_platform_lines(lines)
        self.check_exercise_lines(lines)
        self.check_verdict(lines["verdict"])

    # ---- the lines, their order and their form
    def console_values(self):
        """The console's lines as {name: value}, once they are all there in their order."""
        if self.log.bare_console_line_ends:
            self.fail("a console line does not end in carriage return and line feed")
        pairs = [line.partition(": ") for line in self.log.console_lines]
        names = [name for name, _, _ in pairs]
        asked, ran = self.args.exercise is not None, self.args.exercise == "ran"
        wanted = [name for name in NAMES
                  if not name.startswith("exercise") or (asked and (ran or name not in EXERCISE_FIGURES))]
        if names != wanted or any(not separator for _, separator, _ in pairs):
            self.fail(f"the console's {len(names)} lines are not the {len(wanted)} lines expected "
                      f"({', '.join(wanted)}); it wrote:")
            for line in self.log.console_lines:
                print(f"        | {line}")
            return None
        return {name: value for name, _, value in pairs}

    def expect_line(self, lines, name, expected):
        if lines[name] != expected:
            self.fail(f"console '{name}: {lines[name]}', expected '{name}: {expected}'")

    def parse(self, lines, name, pattern):
        match = pattern.fullmatch(lines[name])
        if not match:
            self.fail(f"console '{name}: {lines[name]}' is not of the form {pattern.pattern}")
        return match

    # ---- the processor, against its own answers to the firmware
    def check_processor_lines(self, lines):
        fact, integer = self.log.fact, self.log.integer
        self.expect_line(lines, "board-check", "inspect, exercise" if self.args.exercise else "inspect")
        signature = integer("cpuid-1-eax")
        family, model = signature >> 8 & 0xF, signature >> 4 & 0xF
        if family in (0x6, 0xF):
            model += (signature >> 16 & 0xF) << 4
        if family == 0xF:
            family += signature >> 20 & 0xFF
        self.expect_line(lines, "cpu-signature", f"family 0x{family:X}, model 0x{model:X}, stepping {signature & 0xF}")
        features = integer("cpuid-1-ecx")
        self.expect_line(lines, "cpu-microcode",
                         "not read (under a hypervisor)" if features & HYPERVISOR else f"0x{integer('cpu-microcode'):X}")
        self.expect_line(lines, "hypervisor", yes_no(features & HYPERVISOR))
        self.expect_line(lines, "tsc-deadline", yes_no(features & TSC_DEADLINE))
        self.expect_line(lines, "x2apic", yes_no(features & X2APIC))
        self.expect_line(lines, "invariant-tsc", yes_no(integer("cpuid-80000007-edx") & INVARIANT_TSC))
        leaf6, leaf15, leaf16 = (list(map(hex_value, fact(key).split())) or [0] * 4
                                 for key in ("cpuid-6", "cpuid-15", "cpuid-16"))
        self.expect_line(lines, "arat", yes_no(leaf6[0] & ARAT))
        # A leaf past the highest one the processor has answers with another leaf's values.
        self.expect_line(lines, "tsc-hz-cpuid-15",
                         str(leaf15[2] * leaf15[1] // leaf15[0]) if all(leaf15[:3]) else "not given")
        self.expect_line(lines, "tsc-hz-cpuid-16", str((leaf16[0] & 0xFFFF) * 1_000_000) if leaf16[0] & 0xFFFF
                         else "not given")
        # Without TSC-deadline mode an auto build takes one-shot mode; with it, an erratum row the
        # scenario names (--auto-mode) may rule it out.
        self.expect_line(lines, "timer-mode-auto", self.args.auto_mode if features & TSC_DEADLINE
                         else "one-shot (no TSC-deadline mode)")
        self.figure(f"processor: {lines['cpu-signature']}, invariant TSC {lines['invariant-tsc']}, "
                    f"ARAT {lines['arat']}, CPUID 0x15 {lines['tsc-hz-cpuid-15']}, 0x16 {lines['tsc-hz-cpuid-16']}")

    # ---- the TSC rate as measured, against the emulated one
    def expect_rate(self, name, rate):
        emulated = self.log.number("tsc-frequency")
        if abs(rate - emulated) * 100 > emulated * RATE_TOLERANCE_PERCENT:
            self.fail(f"{name} {rate} Hz is more than {RATE_TOLERANCE_PERCENT}% off the emulated {emulated} Hz")
        self.figure(f"{name}: {rate} Hz, {(rate - emulated) * 1_000_000 // emulated} ppm from the emulated "
                    f"{emulated} Hz")

    def check_rate_lines(self, lines):
        rates = {}
        pit = self.parse(lines, "tsc-hz-pit", RATE)
        if pit:
            rates["8254"] = int(pit[1])
            self.expect_rate(f"tsc-hz-pit (spread {pit[2]} ppm, {pit[3]} rounds)", int(pit[1]))
        if self.log.fact("fadt-checksum-sound") == "0":
            self.expect_line(lines, "tsc-hz-pm-timer", "the FADT's checksum fails")
        elif self.log.integer("pm-timer-port"):
            pm_timer = self.parse(lines, "tsc-hz-pm-timer", RATE)
            if pm_timer:
                rates["PM timer"] = int(pm_timer[1])
                self.expect_rate(f"tsc-hz-pm-timer (spread {pm_timer[2]} ppm, {pm_timer[3]} rounds)",
                                 int(pm_timer[1]))
        elif not lines["tsc-hz-pm-timer"].startswith("no ACPI tables"):
            self.fail(f"console 'tsc-hz-pm-timer: {lines['tsc-hz-pm-timer']}' on a machine without ACPI tables")
        measured = self.parse(lines, "tsc-hz-measured", MEASURED)
        if measured and rates.get(measured[2]) != int(measured[1]):
            self.fail(f"console 'tsc-hz-measured: {lines['tsc-hz-measured']}' is not what that clock measured")
        # bochs counts the local APIC timer at divide by 1 at its TSC's rate. A count the firmware
        # left running, or our driver's deadline, is not taken.
        if self.log.number("timer-counting-before-app") == 1:
            self.expect_line(lines, "apic-timer-hz", "not measured (the local APIC timer is counting)")
        elif self.args.driver_first:
            self.expect_line(lines, "apic-timer-hz", "not measured (the local APIC timer has a TSC deadline armed)")
        elif apic_timer := self.parse(lines, "apic-timer-hz", APIC_TIMER):
            self.expect_rate("apic-timer-hz", int(apic_timer[1]))
        pcd = self.parse(lines, "pcd-tsc-hz", PCD)
        if measured and pcd:
            answer, rate = int(pcd[1]), int(measured[1])
            if answer != self.log.number("pcd-tsc-frequency") or int(pcd[2]) != self.token:
                self.fail(f"console 'pcd-tsc-hz: {lines['pcd-tsc-hz']}', but the database answers "
                          f"{self.log.fact('pcd-tsc-frequency')} on token {self.token}")
            if abs(int(pcd[3]) - abs(answer - rate) * 1000 // rate) > PER_MILLE_ROUNDING:
                self.fail(f"console 'pcd-tsc-hz: {lines['pcd-tsc-hz']}': {answer} is "
                          f"{abs(answer - rate) * 1000 // rate} per mille off {rate}")
            # The verdict names both rates exactly when they are more than 1% apart.
            stated = f"configuration database rate {answer} Hz is {pcd[3]} per mille off the measured {rate} Hz"
            if (int(pcd[3]) > 10) != (stated in lines["verdict"]):
                self.fail(f"verdict '{lines['verdict']}': expected '{stated}' in it exactly when more than 10")

    # ---- the platform: the APIC and its timer as the firmware left them, the UART, the timer
    def check_platform_lines(self, lines):
        fact, integer = self.log.fact, self.log.integer
        self.expect_line(lines, "apic-mode", fact("apic-mode"))
        lvt = integer("lvt-timer-before-app")
        self.expect_line(lines, "lvt-timer", f"vector 0x{lvt & 0xFF:X}, mode {LVT_MODES[lvt >> 17 & 3]}, "
                                             f"{'masked' if lvt & 1 << 16 else 'unmasked'}")
        uart = self.args.uart or f"present at 0x{self.port:X}"
        self.expect_line(lines, "uart", uart)
        port = hex_value(uart.rpartition(" ")[2])  # the port the check was given, which the settings name
        period = fact("present-timer-period")
        self.expect_line(lines, "present-timer", f"period {period} (100 ns units)" if period else "none")
        # Only what the check found: the vector the exercise took (the first free one from the
        # build's), the token when it answered within 1% of the measured rate, the port when a UART
        # answered there.
        found = ["-DVESK_TIMER_MODE=auto"] if lines["verdict"].startswith(AUTO_BUILD + ": ") else []
        if self.args.exercise == "ran":
            found.append(f"-DVESK_TIMER_VECTOR=0x{hex_value(fact('app-vector')):X}")
        measured, pcd = MEASURED.fullmatch(lines["tsc-hz-measured"]), PCD.fullmatch(lines["pcd-tsc-hz"])
        if measured and pcd and -(-abs(int(pcd[1]) - int(measured[1])) * 1000 // int(measured[1])) <= 10:
            found.append(f"-DVESK_TSC_FREQUENCY_TOKEN={self.token}")
        if uart.startswith("present"):
            found.append(f"-DVESK_DEBUG_UART_PORT=0x{port:X}")
        self.expect_line(lines, "settings", " ".join(found) or "none")

    # ---- the exercise, against the interrupts the firmware dispatched to the application
    def check_exercise_lines(self, lines):
        if self.args.exercise != "ran":
            if self.args.exercise:
                self.expect_line(lines, "exercise", self.args.exercise)
            return
        exercise = self.parse(lines, "exercise", EXERCISE)
        fired = self.parse(lines, "exercise-fired", FIRED)
        if not exercise or not fired:
            return
        armed, vector = int(exercise[1]), hex_value(exercise[4])
        if not lines["timer-mode-auto"].startswith(exercise[3] + " "):
            self.fail(f"the exercise ran in {exercise[3]} mode, an auto build takes {lines['timer-mode-auto']}")
        if hex_value(self.log.fact("app-vector") or "0") != vector:
            self.fail(f"the exercise names vector 0x{vector:X}, but registered {self.log.fact('app-vector')}")
        dispatched = self.log.number("app-vector-interrupts")
        if (int(fired[1]), int(fired[2])) != (dispatched, armed) or dispatched != armed:
            self.fail(f"console 'exercise-fired: {lines['exercise-fired']}': the firmware dispatched {dispatched} "
                      f"interrupts on that vector for {armed} deadlines")
        early = max(self.log.number("early-deadlines-fired"), 0)
        self.expect_line(lines, "exercise-early", str(early))
        tsc, us = self.parse(lines, "exercise-latency-tsc", LATENCY_TSC), self.parse(lines, "exercise-latency-us",
                                                                                      LATENCY_US)
        measured = MEASURED.fullmatch(lines["tsc-hz-measured"])  # judged with the rates
        if not tsc or not us or not measured:
            return
        low, mean, high = map(int, tsc.groups())
        if not low <= mean <= high or high > LATENCY_MAX_TSC or (early == 0 and low < 0):
            self.fail(f"console 'exercise-latency-tsc: {lines['exercise-latency-tsc']}': expected "
                      f"{'0 <= ' if early == 0 else ''}min <= mean <= max <= {LATENCY_MAX_TSC}")
        # At the rate the check measured, rounded to the nanosecond.
        rate = int(measured[1])
        if any(abs(ticks * 1_000_000 / rate - float(micro)) > 0.0005 + 1e-9
               for ticks, micro in zip((low, mean, high), us.groups())):
            self.fail(f"console 'exercise-latency-us: {lines['exercise-latency-us']}' is not "
                      f"{lines['exercise-latency-tsc']} TSC ticks at {rate} Hz")
        self.figure(f"exercise: {lines['exercise-fired']} deadlines on vector 0x{vector:X}, {early} early, latency "
                    f"{lines['exercise-latency-tsc']} TSC ticks ({lines['exercise-latency-us']} us)")

    # ---- the verdict: its kind, and exactly the reasons and warnings the scenario names
    def check_verdict(self, verdict):
        kind, _, rest = verdict.partition(": ")
        reasons, _, warnings = (rest.partition("; with warnings: ") if kind in ("does not suit", AUTO_BUILD)
                                else ("", "", rest))
        if kind != self.args.verdict:
            self.fail(f"verdict '{verdict}', expected '{self.args.verdict}'")
            return
        for what, found, patterns in (("reasons", reasons, self.args.reason), ("warnings", warnings,
                                                                                self.args.warning)):
            items = [item for item in found.split("; ") if item]
            unmatched = [item for item in items if not any(re.fullmatch(pattern, item) for pattern in patterns)]
            missing = [pattern for pattern in patterns if not any(re.fullmatch(pattern, item) for item in items)]
            if unmatched or missing or len(items) != len(patterns):
                self.fail(f"verdict {what} {items}, expected one matching each of {patterns}")
        self.figure(f"verdict: {verdict}")

    # ---- what the application left behind, as the firmware found it after its return
    def check_left_behind(self):
        fact = self.log.fact
        self.expect_fact("app-status", UNSUPPORTED if self.args.verdict == "does not suit" else SUCCESS)
        for name in ("spurious", "lvt-timer", "timer-counting", "handlers", "protocols"):
            if fact(f"{name}-before-app") != fact(f"{name}-after-app"):
                self.fail(f"the application left {name} at {fact(f'{name}-after-app')}, "
                          f"found at {fact(f'{name}-before-app')}")
        self.expect_fact("idt-changed-by-app", 0)
        if self.args.driver_first:
            # The driver's timer went on ticking under the application at the core's period.
            if self.log.number("driver-vector-interrupts-during-app") < 1 or not self.log.number("deadline-after-app"):
                self.fail("the driver's timer did not run while the application did")
        else:
            self.expect_facts({"deadline-before-app": 0, "deadline-after-app": 0})
        if self.args.exercise == "ran":
            self.expect_fact("app-vector-eoi-missing", 0)
        else:  # inspect registers no handler, not even for a moment
            self.expect_fact("app-handler-registrations", 0)
        self.expect_range("app-stack-bytes", 1, STACK_BYTES - 1)
        self.figure(f"application: status {fact('app-status')}, {fact('app-stack-bytes')} stack bytes, "
                    f"{fact('app-handler-registrations')} handler registrations" +
                    (f", {fact('driver-vector-interrupts-during-app')} ticks of the driver's timer meanwhile"
                     if self.args.driver_first else ""))
