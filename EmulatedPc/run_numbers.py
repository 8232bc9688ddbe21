#!/usr/bin/env python3
"""Checks the numbers of an emulated-PC run as boot.py reads them, so that a tool can refuse a
wrong one before it builds anything:

    run_numbers.py OPTION VALUE [OPTION VALUE ...]      (OPTION: --period, --span, --ips, ...)

Prints nothing and exits 0 when boot.py takes every value; otherwise prints one line per value it
would refuse, naming the option, the value and what is accepted, and exits 1.
"""
import sys

import boot


def main(arguments):
    if len(arguments) % 2 or any(option not in boot.NUMBERS for option in arguments[::2]):
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    pairs = zip(arguments[::2], arguments[1::2])
    problems = [f"{option} {problem}" for option, text in pairs
                if (problem := boot.number_problem(option, text))]
    sys.stdout.write("".join(problem + "\n" for problem in problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
