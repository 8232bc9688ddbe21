#!/usr/bin/env python3
"""Stack frame of each function in the firmware image, read from its prologue: the return
address, the registers it pushes and the space it reserves with 'sub $N, %rsp'. Function
addresses come from the linker map, since the image itself carries no symbols."""
import re
import subprocess
import sys

PROLOGUE_SCAN = 12  # instructions; the prologue comes first at -Oz
# Functions whose symbol is not their source name: the stack-guard hook ReportStackFault is given
# the symbol the compiler's guard checks call (Library/SerialDebugLib/SerialDebugLib.h).
SOURCE_NAMES = {"__stack_chk_fail": "__stack_chk_fail (ReportStackFault)"}


def functions(map_path):
    found = []
    with open(map_path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[0].startswith("0001:") and re.fullmatch(r"[0-9a-f]+", parts[2]):
                found.append((int(parts[2], 16), parts[1]))
    return sorted(found)


def demangle(names):
    out = subprocess.run(["llvm-cxxfilt"], input="\n".join(names), capture_output=True, text=True)
    return out.stdout.splitlines() if out.returncode == 0 else names


def main(image, map_path, count):
    listing = subprocess.run(["llvm-objdump", "-d", "--no-show-raw-insn", image],
                             capture_output=True, text=True, check=True).stdout
    instructions = []
    for line in listing.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\s+(.*)", line)
        if m:
            instructions.append((int(m.group(1), 16), m.group(2).strip()))
    funcs = functions(map_path)
    names = [SOURCE_NAMES.get(name, name) for name in demangle([n for _, n in funcs])]
    frames = []
    for (start, _), name in zip(funcs, names):
        body = [text for address, text in instructions if address >= start][:PROLOGUE_SCAN]
        frame = 8
        for text in body:
            if text.startswith("pushq"):
                frame += 8
            elif m := re.match(r"subq\s+\$(0x[0-9a-f]+|\d+), %rsp", text):
                frame += int(m.group(1), 0)
                break
        frames.append((frame, name))
    for frame, name in sorted(frames, reverse=True)[:count]:
        print(f"  {frame:5d}  {name}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 5)
