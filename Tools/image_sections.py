#!/usr/bin/env python3
"""Prints each section of a PE image: name, size in memory, size on disk and access flags."""
import re
import subprocess
import sys


def main(image):
    listing = subprocess.run(["llvm-readobj", "--sections", image],
                             capture_output=True, text=True, check=True).stdout
    for block in listing.split("Section {")[1:]:
        def field(name):
            return re.search(name + r": (\S+)", block).group(1)
        flags = " ".join(re.findall(r"IMAGE_SCN_MEM_(\w+)", block))
        print(f"  {field('Name'):8} {int(field('VirtualSize'), 0):6} {int(field('RawDataSize'), 0):6}  {flags}")


if __name__ == "__main__":
    main(sys.argv[1])
