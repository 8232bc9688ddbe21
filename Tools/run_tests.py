#!/usr/bin/env python3
"""Builds everything and runs every test, one stage after the other: the host tests (with the
image and the checks of the release tools), the image booted on the emulated PC, the host tests
again under AddressSanitizer and UndefinedBehaviorSanitizer, and a bounded run of the format
engine's fuzzer (VESK_FUZZ_SECONDS, default 45).

    run_tests.py [-DVESK_SETTING=value ...]

Platform settings given are those of every build and stage; those not given are the defaults,
whatever an earlier run configured. The fuzzer and the check of the settings themselves, which do
not depend on them, run only in a run with the defaults. The first line names the settings that
differ from the defaults. A value the build refuses stops the run before anything is built, with
the build's own refusal.

The sanitizer build starts with the emulated PC, on the core the emulator leaves free; its stage
waits for it. Each stage says when it starts and how it ended; its whole output goes to build/logs/STAGE.log,
and only what failed is shown: a failed test's own output, a failed scenario's judgement, the end of
a failed build. A table of the stages and the total close the run; the exit status is 1 when
anything failed.
"""

import os
import re
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "cmake"))
import platform_settings  # noqa: E402  (the build's check of the settings, their canonical forms and defaults)

LOGS = ROOT / "build" / "logs"
WIDTH = 160  # no line of this command's output is longer
FAILURE_LINES = 60  # of a failed test's or build's output, the last ones shown
JOBS = str(os.cpu_count() or 1)
SETTINGS = sys.argv[1:]  # -DVESK_NAME=value ..., as Tools/run-tests.sh checked their form
# GoogleTest's frame around a test's own lines, left out of what a failure shows.
GTEST_FRAME = re.compile(r"Running main\(\)|Note: Google Test filter|\[(==========|----------|  PASSED  )\]"
                         r"|\[  FAILED  \] (\d+ tests?, listed below|.*, where GetParam)| *\d+ FAILED TESTS?$|\s*$")


@dataclass
class Outcome:
    name: str
    passed: int = 0
    failed: int = 0
    skipped: int = 0
    seconds: float = 0.0
    note: str = ""
    details: list = field(default_factory=list)  # what a person needs to see of the failures


def say(text=""):
    """Prints text with every line longer than WIDTH folded onto continuation lines."""
    for line in text.split("\n"):
        while len(line) > WIDTH:
            print(line[:WIDTH])
            line = "   ~ " + line[WIDTH:]
        print(line, flush=True)


def run(command, log, **options):
    """Runs a command with its output appended to the stage's log; returns its exit status."""
    with open(log, "a") as stream:
        stream.write(f"$ {' '.join(map(str, command))}\n")
        stream.flush()
        return subprocess.run(command, cwd=ROOT, stdout=stream, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, **options).returncode


def tail(path, count=FAILURE_LINES):
    lines = Path(path).read_text(errors="replace").rstrip("\n").split("\n")
    return lines[-count:]


def configure_command(folder, *options):
    """Every platform setting of the folder's cache is dropped first, so that one not given is the
    default again and not what an earlier run left there; then the run's settings and the
    folder's own options."""
    return ["cmake", "-S", ".", "-B", folder, "-G", "Ninja", "-DCMAKE_CXX_COMPILER=clang++",
            "-DCMAKE_BUILD_TYPE=Debug", "-U", "VESK_*", *SETTINGS, *options]


def build(outcome, log, folder, *options, targets=()):
    """Configures and builds one build folder (only the targets named, if any); a failure becomes
    the stage's one failure."""
    chosen = [argument for target in targets for argument in ("--target", target)]
    if (run(configure_command(folder, *options), log) == 0
            and run(["cmake", "--build", folder, "-j", JOBS, *chosen], log) == 0):
        return True
    outcome.failed += 1
    outcome.note = "build failed"
    outcome.details += [f"the build of {folder} failed; the end of {log}:", *tail(log)]
    return False


def ctest(outcome, log, folder, *options):
    """Runs a build folder's tests and reads their results from ctest's JUnit report."""
    report = LOGS / f"{outcome.name.replace(' ', '-').lower()}.xml"
    report.unlink(missing_ok=True)  # a report left by an earlier run must not stand for this one
    run(["ctest", "--test-dir", folder, "-j", JOBS, "--output-junit", report, *options], log)
    if not report.exists():
        outcome.failed += 1
        outcome.details += ["ctest wrote no report; the end of its log:", *tail(log)]
        return
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        status = case.get("status")
        if status == "run":
            outcome.passed += 1
        elif status in ("notrun", "disabled"):
            outcome.skipped += 1
        else:
            outcome.failed += 1
            output = [line for line in (case.findtext("system-out") or "").split("\n")
                      if not GTEST_FRAME.match(line)]
            outcome.details += [f"FAILED: {case.get('name')} ({float(case.get('time', 0)):.1f} s)",
                                *("    " + line for line in output[-FAILURE_LINES:])]


# Checks that set their own settings (the settings' check: refused values, extremes built) or
# none (the tools' refusals of mistaken command lines): a run with the defaults runs them, and a
# run with other settings, which would only repeat them, leaves them out.
SETTINGS_INDEPENDENT = ("Tools.platform-settings", "Tools.refused-commands")


def host_tests(outcome, log):
    if build(outcome, log, "build"):
        if SETTINGS:
            outcome.note = f"{' and '.join(SETTINGS_INDEPENDENT)} left to a run with the defaults"
            ctest(outcome, log, "build", "--exclude-regex",
                  "^(" + "|".join(map(re.escape, SETTINGS_INDEPENDENT)) + ")$")
        else:
            ctest(outcome, log, "build")


def emulated_pc(outcome, log):
    """The scenarios' runner prints a block per scenario, opened by "scenario (x)"; the blocks of
    the failed ones are shown, and its last line counts them."""
    SANITIZER_BUILD.start()
    run([ROOT / "EmulatedPc" / "run-scenarios.sh", "--build-dir", ROOT / "build"], log)
    lines = Path(log).read_text(errors="replace").split("\n")
    counts = [re.fullmatch(r"emulated-pc: (\d+) passed, (\d+) failed", line) for line in lines]
    counts = [match for match in counts if match]
    if not counts:
        outcome.failed += 1
        outcome.details += ["the scenarios did not run to the end; the end of their log:", *tail(log)]
        return
    outcome.passed, outcome.failed = (int(group) for group in counts[-1].groups())
    block, failing = [], False
    for line in lines:
        if line.startswith("scenario (") or line.startswith("emulated-pc: "):
            if failing:
                outcome.details += block
            block, failing = [], False
        block.append(line)
        failing = failing or line.startswith("  result: FAIL")
    if outcome.failed and not outcome.details:
        outcome.details += tail(log)


class SanitizerBuild:
    """The sanitizer build, started when the emulated PC starts booting: bochs runs on one core,
    so the build takes the other instead of waiting for its own stage. Its output goes to the
    sanitizers' log; that stage waits for it."""

    def __init__(self):
        self.outcome, self.built, self.thread = Outcome("sanitizers"), False, None

    def start(self):
        log = stage_log("sanitizers")
        log.write_text("")
        # The fuzzer, built here too, runs only with the defaults.
        targets = ("DriverTests",) if SETTINGS else ()
        self.thread = threading.Thread(target=lambda: setattr(self, "built", build(
            self.outcome, log, "build/sanitize", "-DVESK_SANITIZE=ON", "-DVESK_BUILD_IMAGE=OFF",
            targets=targets)))
        self.thread.start()

    def wait(self, outcome):
        """Whether it built; a failure becomes the stage's, as if the stage had built it. The
        emulated PC's stage, which comes first, started it."""
        self.thread.join()
        outcome.failed += self.outcome.failed
        outcome.note = self.outcome.note
        outcome.details += self.outcome.details
        return self.built


SANITIZER_BUILD = SanitizerBuild()


def sanitized_tests(outcome, log):
    if SANITIZER_BUILD.wait(outcome):
        ctest(outcome, log, "build/sanitize")


def fuzzing(outcome, log):
    if SETTINGS:
        outcome.skipped = 1
        outcome.note = "not run: no setting changes the format engine; a run with the defaults runs it"
        return
    seconds = os.environ.get("VESK_FUZZ_SECONDS", "45")
    corpus = ROOT / "build" / "sanitize" / "fuzz-corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    fuzzer = ROOT / "build" / "sanitize" / "FormatTextListFuzzer"
    if not fuzzer.exists():
        outcome.failed = 1
        outcome.details.append(f"no fuzzer to run: {fuzzer} was not built")
        return
    status = run([fuzzer, f"-max_total_time={seconds}", "-print_final_stats=1", corpus,
                  ROOT / "Fuzz" / "seeds"], log)
    runs = re.findall(r"stat::number_of_executed_units: *(\d+)", Path(log).read_text(errors="replace"))
    outcome.note = f"{seconds} s, {runs[-1] if runs else 'no'} runs"
    if status == 0:
        outcome.passed = 1
    else:
        outcome.failed = 1
        outcome.details += ["the format engine fuzzer found a fault (the input is in crash-* here):",
                            *tail(log)]


STAGES = (("host tests", host_tests, "the host tests, the image and the release tools' checks"),
          ("emulated PC", emulated_pc, "the image booted on the emulated PC, every scenario judged"),
          ("sanitizers", sanitized_tests, "the host tests under AddressSanitizer and UBSan"),
          ("fuzzing", fuzzing, "the format engine's fuzzer"))


def stage_log(name):
    return LOGS / f"{name.replace(' ', '-').lower()}.log"


def describe(outcome):
    counts = f"{outcome.passed + outcome.failed} run, {outcome.passed} passed, {outcome.failed} failed"
    if outcome.skipped:
        counts += f", {outcome.skipped} skipped"
    return counts + (f" ({outcome.note})" if outcome.note else "")


def settings_line():
    """The settings given that differ from the defaults, in canonical form."""
    given = dict(setting[len("-D"):].partition("=")[::2] for setting in SETTINGS)
    return "Platform settings: " + platform_settings.described(given)


def configure_or_refuse():
    """Configures the host build with the run's settings before anything is built; a refused value
    ends the run with the build's own message."""
    log = LOGS / "configure.log"
    log.write_text("")
    if run(configure_command("build"), log) == 0:
        return True
    refusal = [line for line in Path(log).read_text(errors="replace").split("\n")
               if not line.startswith(("$ ", "-- ", "See also ")) and line.strip()]
    say("\n".join(refusal[-FAILURE_LINES:]))
    say("run-tests: the build cannot be configured with these settings; nothing was built or run "
        f"(log: {log.relative_to(ROOT)})")
    return False


def main():
    LOGS.mkdir(parents=True, exist_ok=True)
    if not configure_or_refuse():
        return 2
    say(settings_line())
    outcomes = []
    for name, stage, purpose in STAGES:
        log = stage_log(name)
        if stage is not sanitized_tests:  # whose build started earlier, into its log
            log.write_text("")
        say(f"== {name}: {purpose} (log: {log.relative_to(ROOT)})")
        outcome = Outcome(name)
        started = time.monotonic()
        stage(outcome, log)
        outcome.seconds = time.monotonic() - started
        say(f"   {name}: {'FAIL' if outcome.failed else 'pass'}, {describe(outcome)}, "
            f"{outcome.seconds:.0f} s")
        if outcome.details:
            say("\n".join("   | " + line for line in outcome.details))
        outcomes.append(outcome)

    say()
    say(f"{'Stage':<14}{'Run':>6}{'Passed':>8}{'Failed':>8}{'Skipped':>9}{'Seconds':>9}  Result")
    for outcome in outcomes:
        say(f"{outcome.name:<14}{outcome.passed + outcome.failed:>6}{outcome.passed:>8}"
            f"{outcome.failed:>8}{outcome.skipped:>9}{outcome.seconds:>9.0f}  "
            f"{'FAIL' if outcome.failed else 'pass'}{' (' + outcome.note + ')' if outcome.note else ''}")
    passed = sum(outcome.passed for outcome in outcomes)
    failed = sum(outcome.failed for outcome in outcomes)
    say(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
