#!/usr/bin/env python3
"""The work of symbolize.sh: resolves places in the driver image with llvm-symbolizer over the
DWARF debug file. The image is linked at 0, so an offset into the loaded image is an address in
the debug file."""
import argparse
import filecmp
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


def same_bytes(first, second):
    return os.path.isfile(first) and os.path.isfile(second) and filecmp.cmp(first, second, shallow=False)


def default_debug_file():
    """The build's debug file, else the release's, and a note saying which; or None and why neither
    will do: there is none, or there are both and their images differ, and a guess could name the
    wrong function."""
    present = [path for path in DEBUG_FILES if os.path.isfile(path)]
    shown = lambda path: os.path.relpath(path, ROOT)
    if not present:
        tried = " or ".join(map(shown, DEBUG_FILES))
        return None, f"no debug file at {tried} (build the image, make a release, or pass --debug)"
    if len(present) == 1:
        return present[0], f"debug file {shown(present[0])}"
    built, released = (path.removesuffix(".debug") + ".efi" for path in present)
    if not same_bytes(built, released):
        settings = lambda image: image.removesuffix(".efi") + ".settings"
        why = "from other sources" if same_bytes(settings(built), settings(released)) else "with other settings"
        return None, (f"the build's image {shown(built)} and the release's {shown(released)} differ (built {why}): "
                      f"name the debug file to read with --debug ({shown(present[0])} or {shown(present[1])})")
    return present[0], f"debug file {shown(present[0])} (the release's image is the same)"


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
        # The script's comment from its usage line to the end.
        with open(os.path.join(ROOT, "Tools", "symbolize.sh")) as script:
            comment = [line for line in script.readlines()[4:] if line.startswith("#")]
        print("".join(line.removeprefix("#").removeprefix(" ") for line in comment), end="", file=sys.stderr)
        return 2
    if arguments.debug is None:
        arguments.debug, said = default_debug_file()
        print(f"symbolize.sh: {said}", file=sys.stderr)
        if arguments.debug is None:
            return 2
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
