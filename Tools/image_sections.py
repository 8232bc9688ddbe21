#!/usr/bin/env python3
"""Prints each section of a PE image: name, size in memory, size on disk and access flags."""
import re
import subprocess
import sys


def sections(image):
    """Each section of a PE image as a dict: Name, VirtualAddress, VirtualSize, RawDataSize and
    Flags (the IMAGE_SCN_MEM_ access names). Raises CalledProcessError if it is no image."""
    listing = subprocess.run(["llvm-readobj", "--sections", image],
                             capture_output=True, text=True, check=True).stdout
    found = []
    for block in listing.split("Section {")[1:]:
        def field(name):
            return re.search(name + r": (\S+)", block).group(1)
        found.append({"Name": field("Name"),
                      "VirtualAddress": int(field("VirtualAddress"), 0),
                      "VirtualSize": int(field("VirtualSize"), 0),
                      "RawDataSize": int(field("RawDataSize"), 0),
                      "Flags": re.findall(r"IMAGE_SCN_MEM_(\w+)", block)})
    return found


def main(image):
    for s in sections(image):
        print(f"  {s['Name']:8} {s['VirtualSize']:6} {s['RawDataSize']:6}  {' '.join(s['Flags'])}")


if __name__ == "__main__":
    main(sys.argv[1])
