#!/usr/bin/env python3
"""Whether a folder is a build that the emulated PC can boot, and the platform settings it boots.

    build_folder.py [--default] DIR

Prints the platform settings of DIR's CMake cache in words and exits 0 when DIR is a build folder
of the project that builds the driver's image and the emulated PC. With --default (the folder a
tool takes when none is named) a folder that is missing or not configured yet is one too: the tool
configures it with the defaults. Otherwise prints what DIR is instead and how to make a build
folder that boots the same settings, on one line, and exits 1.
"""
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "cmake"))
import platform_settings  # noqa: E402  (the settings, their canonical forms and defaults)

CACHE = "CMakeCache.txt"
CACHE_ENTRY = re.compile(r"([A-Za-z0-9_.-]+):[A-Z]+=(.*)")
# What the image build is configured with (Tools/release.sh's build/release-image, a build's image/).
IMAGE_TOOLCHAIN = "FirmwareImageToolchain.cmake"
# What a release holds beside its image, one NAME=value line per setting.
RELEASE_SETTINGS = "VeskLapicTimerDxe.settings"
# CMake's false constants, VESK_BUILD_IMAGE's values that build no image.
CMAKE_FALSE = {"", "0", "OFF", "NO", "FALSE", "N", "IGNORE", "NOTFOUND"}
NEW = "the defaults (a new build folder, configured now)"


def settings_in(entries):
    return {name: entries[name] for name in platform_settings.SETTINGS if name in entries}


def boot_these(settings):
    """How to boot these settings: a build folder of their own."""
    options = "".join(f" -D{setting}" for setting in platform_settings.differing(settings))
    return f"to boot its settings: EmulatedPc/build-roms.sh DIR{options} && Tools/run-driver.sh --build-dir DIR"


def answer(given, default):
    """The settings in words, or None and what the folder is instead."""
    folder = Path(given)
    cache = folder / CACHE
    if default and (not folder.exists() or folder.is_dir() and not cache.exists()):
        return NEW, None
    if not folder.exists():
        return None, ("there is no such folder; make it a build with the platform's settings: "
                      f"EmulatedPc/build-roms.sh {given} -DVESK_...=value ... (or leave --build-dir out to use build/)")
    if not folder.is_dir():
        return None, "a file, not a build folder"
    if not cache.exists():
        release = folder / RELEASE_SETTINGS
        if release.exists():
            settings = dict(line.partition("=")[::2] for line in release.read_text().split())
            return None, f"a release, not a build folder; {boot_these(settings_in(settings))}"
        return None, (f"not a build folder (no {CACHE} in it); make one with the platform's settings: "
                      "EmulatedPc/build-roms.sh DIR -DVESK_...=value ...")
    entries = dict(match.groups() for line in cache.read_text(errors="replace").splitlines()
                   if (match := CACHE_ENTRY.fullmatch(line)))
    if entries.get("CMAKE_TOOLCHAIN_FILE", "").endswith(IMAGE_TOOLCHAIN):
        return None, ("a build of the image alone (as Tools/release.sh makes), without the emulated PC; "
                      f"{boot_these(settings_in(entries))}")
    if entries.get("VESK_BUILD_IMAGE", "ON").upper() in CMAKE_FALSE:
        return None, "a build of the host tests alone (VESK_BUILD_IMAGE is off), without an image to boot"
    return platform_settings.described(settings_in(entries)), None


def main(arguments):
    default = arguments[:1] == ["--default"]
    arguments = arguments[default:]
    if len(arguments) != 1:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    settings, problem = answer(arguments[0], default)
    print(settings or problem)
    return 0 if settings else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
