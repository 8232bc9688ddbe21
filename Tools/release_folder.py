#!/usr/bin/env python3
"""Whether a folder may take a release, and clearing what an earlier release wrote there.

    release_folder.py check DIR    exits 0 when DIR is new, empty, or holds an earlier release only
    release_folder.py clear DIR    the same check, then removes the earlier release's files

An earlier release is the files its SHA256SUMS names, SHA256SUMS itself, and the signed image that
Tools/sign-image.sh writes beside its image by default. A new release replaces them whole, so that no file of the earlier one stays beside the new one, whatever files either
release has. Anything else in the folder belongs to someone else: the folder is refused, with one
line saying what is in the way, and nothing is removed.
"""
import re
import sys
from pathlib import Path

SUMS = "SHA256SUMS"
# sha256sum's line: the digest, a space, a space or '*' (binary mode), the file name.
SUM_LINE = re.compile(r"[0-9a-f]{64} [ *]([^/]+)")
SHOWN_NAMES = 5
SIGNED_SUFFIX = ".signed.efi"  # Tools/sign-image.sh's name for a signed copy of NAME.efi


def earlier_release(folder):
    """The names of the earlier release's files in folder (SHA256SUMS and a signed image included),
    or None when its SHA256SUMS is missing or not one that sha256sum wrote."""
    try:
        lines = (folder / SUMS).read_text().splitlines()
    except (OSError, UnicodeDecodeError):
        return None
    matches = [SUM_LINE.fullmatch(line) for line in lines]
    if not lines or not all(matches):
        return None
    listed = {match.group(1) for match in matches}
    signed = {name.removesuffix(".efi") + SIGNED_SUFFIX for name in listed if name.endswith(".efi")}
    return listed | signed | {SUMS}


def problem(folder):
    """What keeps folder from taking a release, or None."""
    if not folder.exists():
        return None
    if not folder.is_dir():
        return f"{folder} is not a folder"
    present = {entry.name for entry in folder.iterdir()}
    if not present:
        return None
    release = earlier_release(folder) or set()
    foreign = sorted(name for name in present
                     if name not in release or not (folder / name).is_file())
    if not foreign:
        return None
    shown = ", ".join(foreign[:SHOWN_NAMES])
    if len(foreign) > SHOWN_NAMES:
        shown += f" and {len(foreign) - SHOWN_NAMES} more"
    return (f"{folder} holds what no earlier release wrote ({shown}): name a new or empty "
            "folder, or one that holds an earlier release only")


def main(arguments):
    if len(arguments) != 2 or arguments[0] not in ("check", "clear"):
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    action, folder = arguments[0], Path(arguments[1])
    refusal = problem(folder)
    if refusal:
        sys.stderr.write(refusal + "\n")
        return 1
    if action == "clear" and folder.is_dir():
        for name in earlier_release(folder) or ():
            (folder / name).unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
