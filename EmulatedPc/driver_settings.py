"""The platform settings the booted driver was built with, as its build records them beside the
image (VeskLapicTimerDxe.settings, one NAME=value a line); the defaults stand for a missing file."""

import argparse
from pathlib import Path

DEFAULTS = {"VESK_TIMER_VECTOR": "0x40", "VESK_DEFAULT_TIMER_PERIOD": "1000000",
            "VESK_TSC_FREQUENCY_TOKEN": "7", "VESK_DEBUG_UART_PORT": "0x3F8", "VESK_DEBUG_UART_BAUD": "115200",
            "VESK_DEBUG_MESSAGES": "ON",
            "VESK_TIMER_MODE": "tsc-deadline"}
# A 16550 divides its 1.8432 MHz reference clock by 16, then by its divisor latch.
UART_RATE_AT_DIVISOR_1 = 115200


def uart_divisor(settings):
    """The divisor latch that gives the settings' debug rate."""
    return UART_RATE_AT_DIVISOR_1 // int(settings["VESK_DEBUG_UART_BAUD"])


def read(path):
    """The settings of a file named on a command line (an argparse type); the defaults for ""."""
    settings = dict(DEFAULTS)
    try:
        settings.update(line.split("=", 1) for line in (Path(path).read_text().split() if path else []))
    except OSError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return settings
