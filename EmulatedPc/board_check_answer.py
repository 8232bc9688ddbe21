#!/usr/bin/env python3
"""What a board check run on the emulated PC answers, for a script to act on: the verdict the
application printed and the status it returned (the firmware's app-status), from the serial log.

    board_check_answer.py LOG

Prints one line and exits 0 when the application returned success with a verdict other than "does
not suit"; exits 1 when the board does not suit, or the application returned a failure (refused
options among them), or the run ended without a verdict.
"""
import sys

from judge_serial_log import SerialLog

SUCCESS = "0x0000000000000000"
INVALID_PARAMETER = "0x8000000000000002"  # the options were refused
VERDICT = "verdict: "
NOT_SUITED = "does not suit"


def answer(log):
    """The line that says what the board check answered, and the exit status it gives."""
    verdicts = [line[len(VERDICT):] for line in log.console_lines if line.startswith(VERDICT)]
    status = log.fact("app-status")
    if not status:
        return f"The board check did not return (result={log.fact('result') or 'missing'})", 1
    refused = " (it refused its options)" if status == INVALID_PARAMETER else ""
    if not verdicts:
        return f"The board check returned {status}{refused} without a verdict", 1
    kind = verdicts[-1].partition(":")[0]
    failed = status != SUCCESS or kind.startswith(NOT_SUITED)
    return f'The board check returned {status}{refused} with the verdict "{kind}"', 1 if failed else 0


def main(arguments):
    if len(arguments) != 1:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    text, status = answer(SerialLog(arguments[0]))
    print(f"== {text}: exit status {status}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
