#!/usr/bin/env python3
"""The work of symbolize.sh: resolves places in the driver image with llvm-symbolizer over the
DWARF debug file. The image is linked at 0, so an offset into the loaded image is an address in
the debug file."""
import argparse
import json
import os
import re
import subprocess
import sys

from image_sections import sections

IMAGE_NAME = "VeskLapicTimerDxe"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The build's debug file, else the release's: Tools/release.sh builds in a folder of its own, so
# right after it only build/release has one.
DEBUG_FILES = [os.path.join(ROOT, "build", folder, IMAGE_NAME + ".debug") for folder in ("image", "release")]
HEX = re.compile(r"0[xX][0-9a-fA-F]{1,16}")


def code_ranges(image):
    """[start, end) of each executable section of a PE image, as offsets into the loaded image;
    None if the file is no PE image."""
    try:
        return [(s["VirtualAddress"], s["VirtualAddress"] + s["VirtualSize"])
                for s in sections(image) if "EXECUTE" in s["Flags"]]
    except subprocess.CalledProcessError:
        return None


def image_offset(place, load):
    """The offset into the image that a place names, or an error text."""
    prefix = IMAGE_NAME + "+"
    relative = place.startswith(prefix)
    number = place[len(prefix):] if relative else place
    if not HEX.fullmatch(number):
        return None, f"not a hexadecimal address or {prefix}0xOFFSET"
    value = int(number, 16)
    if relative or load is None:
        return value, None
    if value < load:
        return None, f"below the load address {load:#x}"
    return value - load, None


def frames_at(debug_file, offset):
    """The function at an offset and the functions it is inlined into, innermost first."""
    answer = subprocess.run(
        ["llvm-symbolizer", "--obj=" + debug_file, "--output-style=JSON", "--inlines",
         "--relativenames", hex(offset)], capture_output=True, text=True, check=True)
    return json.loads(answer.stdout)[0]["Symbol"]


def describe(frame):
    where = f"{frame['FileName']}:{frame['Line']}"
    if frame["Line"] == 0:
        # Code the compiler adds, such as a stack-guard check, has no line of its own.
        where = f"{frame['StartFileName']}:{frame['StartLine']} (the function's start; no line of its own here)"
    return f"{frame['FunctionName']} at {where}"


def main():
    parser = argparse.ArgumentParser(prog="symbolize.sh", add_help=False,
                                     usage="Tools/symbolize.sh [--debug FILE] [--load ADDRESS] PLACE...")
    parser.add_argument("--debug")
    parser.add_argument("--load")
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("places", nargs="*")
    arguments = parser.parse_args()
    if arguments.help or not arguments.places:
        with open(os.path.join(ROOT, "Tools", "symbolize.sh")) as script:
            print("".join(line.removeprefix("#").removeprefix(" ") for line in script.readlines()[4:15]),
                  end="", file=sys.stderr)
        return 2
    if arguments.debug is None:
        arguments.debug = next((path for path in DEBUG_FILES if os.path.isfile(path)), None)
        if arguments.debug is None:
            tried = " or ".join(os.path.relpath(path, ROOT) for path in DEBUG_FILES)
            print(f"symbolize.sh: no debug file at {tried} (build the image, make a release, or pass --debug)",
                  file=sys.stderr)
            return 2
        print(f"symbolize.sh: debug file {os.path.relpath(arguments.debug, ROOT)}", file=sys.stderr)
    code = code_ranges(arguments.debug) if os.path.isfile(arguments.debug) else None
    if code is None:
        print(f"symbolize.sh: no debug file at {arguments.debug}", file=sys.stderr)
        return 2
    load = None
    if arguments.load is not None:
        if not HEX.fullmatch(arguments.load):
            print(f"symbolize.sh: the load address must be hexadecimal: {arguments.load}", file=sys.stderr)
            return 2
        load = int(arguments.load, 16)

    status = 0
    for place in arguments.places:
        offset, problem = image_offset(place, load)
        if problem is None and not any(start <= offset < end for start, end in code):
            problem = f"offset {offset:#x} is not in the driver's code"
        if problem is not None:
            print(f"{place}: {problem}", file=sys.stderr)
            status = 1
            continue
        frames = frames_at(arguments.debug, offset)
        print(f"{place} (image offset {offset:#x}, {offset - int(frames[-1]['StartAddress'], 16):#x} "
              f"into {frames[-1]['FunctionName']}):")
        print(f"  {describe(frames[0])}")
        for frame in frames[1:]:
            print(f"  inlined into {describe(frame)}")
    return status


if __name__ == "__main__":
    sys.exit(main())
