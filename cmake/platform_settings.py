#!/usr/bin/env python3
"""Checks the platform's build settings and prints each in its canonical form.

    platform_settings.py [--build-options NAME,...] NAME=VALUE ...

Prints one NAME=value line per setting, in the order given, when every value can work; otherwise
prints one line per refusal to stderr and exits with 1. A refused value names the setting, the
value and what is accepted; a NAME that is neither a setting nor one of the build options (the
build's own switches, whose values are the build's business) names the closest known name, so
that a typing mistake never leaves a setting at its default. NAME may carry CMake's :TYPE.

Numbers are decimal (no leading zeros, so nothing reads as octal) or 0x-hex; a canonical number is
decimal, or 0x and upper-case hex digits where the hardware speaks in hex (a vector, a port). A
switch is one of CMake's booleans; canonically ON or OFF.
"""
import difflib
import re
import sys
from pathlib import Path

NUMBER = re.compile(r"0[xX][0-9A-Fa-f]+|0|[1-9][0-9]*")
GUID = re.compile(r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")
SWITCH_WORDS = {"ON": "ON", "YES": "ON", "TRUE": "ON", "Y": "ON", "1": "ON",
                "OFF": "OFF", "NO": "OFF", "FALSE": "OFF", "N": "OFF", "0": "OFF"}

# A 16550 divides its 1.8432 MHz reference clock by 16 and then by its 16-bit divisor latch.
UART_RATE_AT_DIVISOR_1 = 115200
LARGEST_UART_DIVISOR = 0xFFFF
# Vectors 0x00 to 0x1F are the processor's exceptions.
FIRST_EXTERNAL_VECTOR = 0x20
LARGEST_VECTOR = 0xFF
# The UART's eight registers must fit below port 0x10000.
LARGEST_UART_BASE = 0xFFF8
LARGEST_UINT64 = 2**64 - 1
LARGEST_UINT32 = 2**32 - 1


def parse_number(text):
    return int(text, 0) if NUMBER.fullmatch(text) else None


def hex_form(value):
    return f"0x{value:X}"


def number_in(low, high, form):
    def check(text):
        value = parse_number(text)
        return form(value) if value is not None and low <= value <= high else None
    return check


def baud_rate(text):
    value = parse_number(text)
    if value is None or value == 0 or UART_RATE_AT_DIVISOR_1 % value != 0:
        return None
    return str(value) if UART_RATE_AT_DIVISOR_1 // value <= LARGEST_UART_DIVISOR else None


def switch(text):
    return SWITCH_WORDS.get(text.upper())


# How the driver ticks: TSC-deadline mode only (it declines without it), TSC-deadline mode where the
# processor has it without an erratum and one-shot mode elsewhere, or one-shot mode always.
TIMER_MODES = ("tsc-deadline", "auto", "one-shot")


def timer_mode(text):
    return text.lower() if text.lower() in TIMER_MODES else None


def registry_guid(text):
    return text.upper() if GUID.fullmatch(text) else None


IN_DECIMAL_OR_HEX = ", in decimal (no leading zeros) or 0x-hex"

# Name: (check returning the canonical text or None, what is accepted).
SETTINGS = {
    "VESK_TIMER_VECTOR": (
        number_in(FIRST_EXTERNAL_VECTOR, LARGEST_VECTOR, hex_form),
        "a vector from 0x20 to 0xFF (0x00 to 0x1F are the processor's exceptions)" + IN_DECIMAL_OR_HEX),
    "VESK_DEFAULT_TIMER_PERIOD": (
        number_in(1, LARGEST_UINT64, str),
        f"a period in 100 ns units from 1 to {LARGEST_UINT64} (2^64-1)" + IN_DECIMAL_OR_HEX),
    "VESK_TSC_FREQUENCY_TOKEN": (
        number_in(0, LARGEST_UINT32, str),
        f"a token number from 0 to {LARGEST_UINT32} (2^32-1)" + IN_DECIMAL_OR_HEX),
    "VESK_DEBUG_UART_PORT": (
        number_in(0, LARGEST_UART_BASE, hex_form),
        "an I/O port from 0 to 0xFFF8 (the UART's eight registers end below 0x10000)" + IN_DECIMAL_OR_HEX),
    "VESK_DEBUG_UART_BAUD": (
        baud_rate,
        f"a rate that divides {UART_RATE_AT_DIVISOR_1} exactly into a divisor of at most "
        f"{LARGEST_UART_DIVISOR} (2 to {UART_RATE_AT_DIVISOR_1}, e.g. 115200, 57600, 38400, 9600)" + IN_DECIMAL_OR_HEX),
    "VESK_DEBUG_MESSAGES": (switch, "ON or OFF"),
    "VESK_TIMER_MODE": (timer_mode, "tsc-deadline, auto or one-shot"),
    "VESK_DRIVER_FILE_GUID": (registry_guid, "a GUID in registry format, 8-4-4-4-12 hexadecimal digits"),
}


def canonical(name, value):
    """The value's canonical form, as the build records it; the value itself for a name this check
    does not know, or a value it refuses."""
    check = SETTINGS.get(name, (None,))[0]
    return (check and check(value)) or value


def defaults():
    """The default of every setting, as PlatformSettings.cmake beside this file gives it:
    set(NAME value CACHE ...) or option(NAME "..." ON)."""
    text = Path(__file__).with_name("PlatformSettings.cmake").read_text()
    return dict(re.findall(r"^set\((VESK_\w+) (\S+) CACHE", text, re.MULTILINE)
                + re.findall(r'^option\((VESK_\w+) "[^"]*" (\w+)\)', text, re.MULTILINE))


def differing(given):
    """The settings of given ({NAME: value}) that differ from the defaults, as NAME=value in
    canonical form."""
    default = defaults()
    return [f"{name}={canonical(name, value)}" for name, value in given.items()
            if name not in default or canonical(name, value) != canonical(name, default[name])]


def described(given):
    """The settings of given ({NAME: value}) in words: "the defaults", or those that differ from
    the defaults, "NAME=value, ... (the others their defaults)"."""
    named = differing(given)
    if not named:
        return "the defaults"
    others = " (the others their defaults)" if len(named) < len(defaults()) else ""
    return ", ".join(named) + others


def unknown_name(name, value, build_options):
    known = list(SETTINGS) + build_options
    closest = difflib.get_close_matches(name, known, n=1, cutoff=0)[0]
    what = "a platform setting or a build option" if build_options else "a platform setting"
    return f"{name}={value!r} is not {what}: the closest is {closest}."


def main(arguments):
    build_options = []
    if arguments[:1] == ["--build-options"]:
        build_options = [name for name in arguments[1].split(",") if name]
        arguments = arguments[2:]
    canonical, refusals = [], []
    for argument in arguments:
        name_and_type, _, value = argument.partition("=")
        name = name_and_type.partition(":")[0]
        if name in build_options:
            continue
        if name not in SETTINGS:
            refusals.append(unknown_name(name, value, build_options))
            continue
        check, accepted = SETTINGS[name]
        form = check(value)
        if form is None:
            refusals.append(f"{name}={value!r} cannot be used: accepted is {accepted}.")
        canonical.append(f"{name}={form}")
    if refusals:
        sys.stderr.write("\n".join(refusals) + "\n")
        return 1
    sys.stdout.write("\n".join(canonical) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
