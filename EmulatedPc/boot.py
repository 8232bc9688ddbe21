#!/usr/bin/env python3
"""Boots the emulated PC once: the test firmware ROM (which carries the driver) on a bochs machine,
headless, with the driver's serial port captured to a file.

  boot.py --rom FILE --video-rom FILE --serial FILE [--settings FILE] [--cpu MODEL] [--x2apic]
          [--period UNITS] [--span PERIODS] [--ips N] [--tsc-start VALUE] [--timer-installed]
          [--smash-entry-guard] [--pcd-late] [--no-cpu-arch]
          [--start driver|board-check|driver-then-board-check] [--load-options TEXT]
          [--pcd-twice-rate] [--no-acpi-tables] [--early-deadline] [--apic-timer-counting]
          [--bad-fadt-checksum] [--timeout SECONDS]
          [--keep-dir DIR]

The emulated clock follows the instruction count (clock sync=none), so a run repeats exactly; the
TSC then advances by one per instruction and its frequency is the --ips value, which the firmware
learns from the board settings written into CMOS (Firmware/Platform/BoardSettings.h). Numbers are
decimal, or hexadecimal with 0x, in the ranges of NUMBERS below: --period from 1 (a period of 0
would stop the timer, and there would be no tick to count) to 2^64 - 1, --tsc-start any unsigned
64-bit value. The --pcd-late and --no-cpu-arch flags hold back the configuration database until
after the first dispatch pass, or the CPU Architectural Protocol for good. The firmware lets the
clock run to --tsc-start before it loads the driver (the emulator skips that idle time at about
2^33 ticks a host second). The default timeout grows with the emulated time the run needs.
--settings names the VeskLapicTimerDxe.settings of the driver the ROM carries (the defaults without
it): the serial port captured is its debug port, where the firmware writes too, and the timeout
allows for its default period.

--start board-check starts the board check application the ROM carries instead of the driver;
driver-then-board-check starts it once the driver's timer runs at --period. --load-options gives
it its options as a loader does: a line with the program's name first comes as a shell passes it,
its terminating NUL counted in the size; options alone as a boot option's data, without one.
Without it the application gets none. --pcd-twice-rate makes the configuration database answer
twice the TSC frequency; --no-acpi-tables leaves out the ACPI tables (and so the PM timer);
--early-deadline makes one deadline of the board check's exercise fire early;
--apic-timer-counting leaves the local APIC timer masked and counting, periodic, as a firmware's
clock; --bad-fadt-checksum spoils the FADT's checksum.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from collections import namedtuple
from pathlib import Path

import driver_settings

CMOS_SIZE = 256  # with the upper half, which the load options take
CMOS_SETTINGS_OFFSET = 0x60
# Signature "VT", flags, what to start, TSC frequency, period, span, TSC start, the second flags;
# little-endian.
CMOS_SETTINGS = struct.Struct("<2sBBIQHQB")
assert CMOS_SETTINGS.size == 27, "the settings fill CMOS bytes 0x60..0x7A"
FLAGS = ("x2apic", "timer_installed", "smash_entry_guard", "pcd_late", "no_cpu_arch",
         "pcd_twice_rate", "no_acpi_tables", "early_deadline")  # bits 0..7
FLAGS2 = ("apic_timer_counting", "bad_fadt_checksum")  # bits 0..1 of the second flags byte
STARTS = ("driver", "board-check", "driver-then-board-check")
# The load options: their length in characters (0xFF: none), then one byte a character.
CMOS_LOAD_OPTIONS_OFFSET, NO_LOAD_OPTIONS = 0x80, 0xFF
LOAD_OPTIONS_CAPACITY = CMOS_SIZE - CMOS_LOAD_OPTIONS_OFFSET - 1
LARGEST = (1 << 64) - 1
# A fixed start date for the real-time clock, so that nothing differs from one run to the next.
RTC_START = 946684800
# The default timeout: a fixed allowance for start-up, plus the run's emulated time at the slowest
# host we allow for, plus the idle time up to the TSC start.
BASE_TIMEOUT_SECONDS = 30
HOST_IPS_FLOOR = 10_000_000  # emulated instructions a host second; bochs ran about 65 million here
IDLE_TSC_SKIPPED_PER_SECOND = 1 << 31  # bochs skipped about 2^33 a second here
UNITS_PER_SECOND = 10_000_000  # 100 ns units
SERIAL_PORTS = {0x3F8: "com1", 0x2F8: "com2", 0x3E8: "com3", 0x2E8: "com4"}  # bochs' 16550s
# Emulated time, in 100 ns units: 2.5 of the driver's default periods (100 ms by default); the
# counting and the stop window (span periods each), the wait before the stop (2 periods) and the
# restart window (5 periods), each no longer than the firmware's cap of one second per period of the
# span; the report at 115200 baud (twice as long at half the rate), a line of about 130 characters
# for each tick and 5000 more.
DEFAULT_WINDOW_TENTHS, TICK_LINE_UNITS, REPORT_UNITS = 25, 120_000, 5_000_000
POWER_OFF_MESSAGE = "Shutdown port: shutdown requested"

BOCHS_CONFIG = """megs: 64
romimage: file="{rom}"
vgaromimage: file="{video_rom}"
cpu: model={cpu}, count=1, ips={ips}, reset_on_triple_fault=0
clock: sync=none, time0={rtc_start}
cmosimage: file="{work}/cmos.bin", rtc_init=time0
{serial_port}: enabled=1, mode=file, dev="{work}/serial.log"
port_e9_hack: enabled=1
display_library: sdl2
mouse: enabled=0
log: "{work}/bochs.log"
panic: action=fatal
error: action=report
info: action=ignore
debug: action=ignore
"""


# The numbers a run takes, each option's (smallest, largest, default). Tools/run-driver.sh checks
# them against this table too (run_numbers.py), before it builds anything.
NUMBERS = {
    "--period": (1, LARGEST, 10_000),  # 100 ns units: 1 ms
    "--span": (2, 65535, 40),
    "--ips": (1_000_000, (1 << 32) - 1, 20_000_000),
    # Where the clock runs to before the driver loads: every deadline has a high half.
    "--tsc-start": (0, LARGEST, 1 << 32),
    "--timeout": (1, 100_000, None),
}
NUMBER = re.compile(r"0[xX]([0-9A-Fa-f]+)|([0-9]+)")


def number_value(text):
    """The value of a number in decimal or 0x-hex, or None when text is neither."""
    match = NUMBER.fullmatch(text)
    return None if not match else int(match[1], 16) if match[1] else int(match[2])


def number_problem(option, text):
    """Why text cannot be the value of the numeric option, or None when it can."""
    low, high, _ = NUMBERS[option]
    value = number_value(text)
    if value is not None and low <= value <= high:
        return None
    shown = lambda value: f"{value} (2^64 - 1)" if value == LARGEST else f"{value}"
    return (f"{text!r} cannot be used: accepted is a whole number from {shown(low)} "
            f"to {shown(high)}, decimal or 0x-hex")


def number(option):
    """The argparse type of a numeric option."""
    def parse(text):
        problem = number_problem(option, text)
        if problem:
            raise argparse.ArgumentTypeError(problem)
        return number_value(text)
    return parse


# What the booted driver's settings change about a run: the bochs port it writes to, the length of
# the firmware's first window, and how long each line takes at its rate.
DriverRun = namedtuple("DriverRun", "serial_port default_period uart_divisor")


def driver_run(path):
    """The serial port and the default period of the driver's settings file, or of the defaults."""
    settings = driver_settings.read(path)
    port = int(settings["VESK_DEBUG_UART_PORT"], 16)
    if port not in SERIAL_PORTS:
        raise argparse.ArgumentTypeError(f"the emulated PC has no serial port at 0x{port:X}")
    return DriverRun(SERIAL_PORTS[port], int(settings["VESK_DEFAULT_TIMER_PERIOD"]),
                     driver_settings.uart_divisor(settings))


def default_timeout(settings):
    capped = lambda units: min(units, settings.span * UNITS_PER_SECOND)
    window = lambda periods: capped(periods * settings.period)
    units = (capped(settings.driver.default_period * DEFAULT_WINDOW_TENTHS // 10)
             + 2 * window(settings.span) + window(2) + window(5)
             + (settings.span * TICK_LINE_UNITS + REPORT_UNITS) * settings.driver.uart_divisor)
    return (BASE_TIMEOUT_SECONDS + units * settings.ips // UNITS_PER_SECOND // HOST_IPS_FLOOR
            + settings.tsc_start // IDLE_TSC_SKIPPED_PER_SECOND)


def load_options(text):
    """The options a loader passes: a shell's line (the program's name first) with its NUL, or the
    options alone, as a boot option carries them, without one."""
    encoded = (text if text.startswith("--") else text + "\0").encode("ascii")
    if len(encoded) > LOAD_OPTIONS_CAPACITY:
        raise argparse.ArgumentTypeError(f"at most {LOAD_OPTIONS_CAPACITY - 1} characters")
    return encoded


def cmos_image(settings):
    flags = [sum(1 << bit for bit, flag in enumerate(names) if getattr(settings, flag)) for names in (FLAGS, FLAGS2)]
    fields = CMOS_SETTINGS.pack(b"VT", flags[0], STARTS.index(settings.start), settings.ips, settings.period,
                                settings.span, settings.tsc_start, flags[1])
    options = (bytes([len(settings.load_options)]) + settings.load_options
               if settings.load_options is not None else bytes([NO_LOAD_OPTIONS]))
    lower = bytes(CMOS_SETTINGS_OFFSET) + fields
    upper = options + bytes(CMOS_SIZE - CMOS_LOAD_OPTIONS_OFFSET - len(options))
    return lower + bytes(CMOS_LOAD_OPTIONS_OFFSET - len(lower)) + upper


def boot(settings, work):
    (work / "cmos.bin").write_bytes(cmos_image(settings))
    (work / "bochsrc").write_text(BOCHS_CONFIG.format(
        rom=Path(settings.rom).resolve(), video_rom=Path(settings.video_rom).resolve(), cpu=settings.cpu,
        ips=settings.ips, rtc_start=RTC_START, work=work, serial_port=settings.driver.serial_port))
    timeout = settings.timeout or default_timeout(settings)
    output = work / "bochs.out"
    with open(output, "wb") as stream:
        try:
            # The built-in debugger stops before the first instruction until it reads "c".
            subprocess.run(["bochs", "-q", "-f", work / "bochsrc"], input=b"c\n", stdout=stream,
                           stderr=subprocess.STDOUT, timeout=timeout,
                           env={**os.environ, "SDL_VIDEODRIVER": "dummy"})
        except subprocess.TimeoutExpired:
            print(f"boot.py: the emulated PC did not power off within {timeout} s", file=sys.stderr)
    serial = work / "serial.log"
    shutil.copyfile(serial, settings.serial) if serial.exists() else Path(settings.serial).write_bytes(b"")
    # bochs leaves through its shutdown port with a "panic" message; anything else is worth seeing.
    if POWER_OFF_MESSAGE in output.read_text(errors="replace"):
        return 0
    print("boot.py: bochs stopped without the firmware's power-off; its last words:", file=sys.stderr)
    words = [line for name in ("bochs.out", "bochs.log") if (work / name).exists()
             for line in (work / name).read_text(errors="replace").split("\n")
             if any(mark in line for mark in ("PANIC", "ERROR", "exiting"))]
    print("\n".join(words[-5:]), file=sys.stderr)
    return 1


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1],
                                     description=__doc__.split("\n\n", 2)[2],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--rom", "--video-rom", "--serial"):
        parser.add_argument(option, required=True)
    parser.add_argument("--settings", dest="driver", type=driver_run, default="")
    parser.add_argument("--cpu", default="corei7_skylake_x")
    for flag in FLAGS + FLAGS2:
        parser.add_argument("--" + flag.replace("_", "-"), action="store_true")
    for option, (_, _, default) in NUMBERS.items():
        parser.add_argument(option, type=number(option), default=default)
    parser.add_argument("--start", choices=STARTS, default="driver")
    parser.add_argument("--load-options", type=load_options)
    parser.add_argument("--keep-dir")
    settings = parser.parse_args()
    if settings.pcd_twice_rate and 2 * settings.ips > (1 << 32) - 1:
        parser.error("--pcd-twice-rate needs an --ips below 2^31: the answer is 32 bits")
    if settings.keep_dir:
        Path(settings.keep_dir).mkdir(parents=True, exist_ok=True)
        return boot(settings, Path(settings.keep_dir).resolve())
    with tempfile.TemporaryDirectory() as work:
        return boot(settings, Path(work))


if __name__ == "__main__":
    sys.exit(main())
