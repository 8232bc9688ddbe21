#!/usr/bin/env python3
"""The driver's firmware volume as an outside reader sees it: UEFIExtract (Debian uefitool-cli)
parses build/image/VeskLapicTimerDxe.fv, and its dump must show one DXE driver file named by our
GUID, every checksum valid, the depex PUSH <CPU arch> PUSH <PCD> AND END, the PE32 section's body
equal to the .efi and the UI name, whose bytes end in a NUL; the .ffs and .depex beside it must be
the bytes in the volume.
The same of the .ffs put into an empty volume of a platform's by the packager's --insert, which must
refuse a second file of that name and a volume without room. Then the packager must refuse, writing
nothing, what no dispatcher could load.
    firmware_files.py BUILD_DIR FILE_GUID
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

NAME = "VeskLapicTimerDxe"
FFS2 = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
# The published GUIDs, typed here on purpose: this check does not take the driver's word for them.
EXPECTED_DEPEX = ["PUSH 26BACCB1-6F42-11D4-BCE7-0080C73C8881",  # CPU Architectural Protocol
                  "PUSH 11B34006-D85B-4D0A-A290-D5A571310EF7",  # configuration database (PCD)
                  "AND", "END"]
# UEFIExtract looks for the reset vector's file of a whole flash image; a lone volume has none.
EXPECTED_NOTE = "parse: not a single Volume Top File is found, the image may be corrupted"


def read_dump(dump):
    """Every item of UEFIExtract's dump folder: its info.txt as a dict (a line without a value
    starts a list of the lines after it), with its folder under "dir". A key that comes twice
    keeps its first value: "Type: File" before the file type's "Type: 07h"."""
    items = []
    for info in sorted(dump.rglob("info.txt")):
        fields, current = {"dir": info.parent}, None
        for line in info.read_text().splitlines():
            key, sep, value = line.partition(": ")
            if sep:
                fields.setdefault(key, value)
                current = None
            elif line.endswith(":"):
                current = fields.setdefault(line[:-1], [])
            elif current is not None and line:
                current.append(line)
        items.append(fields)
    return items


def check_volume(build, guid, failures, volume=None):
    image = build / "image"
    work = pathlib.Path(tempfile.mkdtemp())
    try:
        shutil.copy(volume or image / f"{NAME}.fv", work / "driver.fv")
        run = subprocess.run(["UEFIExtract", "driver.fv", "all"], cwd=work,
                             capture_output=True, text=True, timeout=30)
        messages = [m for m in run.stdout.splitlines() if m.strip() and m != EXPECTED_NOTE]
        if run.returncode != 0 or messages:
            failures.append(f"UEFIExtract (exit {run.returncode}) reported: {messages}")
        items = read_dump(work / "driver.fv.dump")
        kinds = lambda kind: [i for i in items if i.get("Type") == kind]
        volumes, files = kinds("Volume"), kinds("File")
        print(f"UEFIExtract: {len(volumes)} volume, {len(files)} file")
        if len(volumes) != 1 or len(files) != 1:
            failures.append(f"expected one volume with one file: {len(volumes)}, {len(files)}")
            return
        volume, file = volumes[0], files[0]
        sections = {s["Subtype"]: s for s in kinds("Section")}
        shown = [("volume", volume, "FileSystem GUID"), ("volume", volume, "Checksum"),
                 ("file", file, "Subtype"), ("file", file, "File GUID"), ("file", file, "State"),
                 ("file", file, "Header checksum"), ("file", file, "Data checksum")]
        for what, item, key in shown:
            print(f"  {what} {key}: {item.get(key)}")
        expect = [(volume.get("FileSystem GUID") == FFS2, "the volume is not FFSv2"),
                  (volume.get("Checksum", "").endswith(", valid"), "volume checksum not valid"),
                  (file.get("Subtype") == "DXE driver", "the file is no DXE driver"),
                  (file.get("File GUID") == guid, f"the file is not named {guid}"),
                  # Header and data valid, every bit inverted under erase polarity 1.
                  (file.get("State") == "F8h", "the file's state is not that of a valid file"),
                  (file.get("Header checksum", "").endswith(", valid"), "header checksum invalid"),
                  (file.get("Data checksum", "").endswith(", valid"), "data checksum invalid")]
        depex = sections.get("DXE dependency", {})
        print("  depex:", " | ".join(depex.get("Parsed expression", [])))
        expect.append((depex.get("Parsed expression") == EXPECTED_DEPEX,
                       f"the depex is not {' '.join(EXPECTED_DEPEX)}"))
        pe32 = sections.get("PE32 image", {}).get("dir")
        expect.append((pe32 is not None and (pe32 / "body.bin").read_bytes() ==
                       (image / f"{NAME}.efi").read_bytes(), "the PE32 body is not the .efi"))
        ui = sections.get("UI", {})
        print(f"  UI: {ui.get('Text')}")
        expect.append((ui.get("Text") == NAME, f"the UI name is not {NAME}"))
        # The name's bytes: UCS-2 with its terminating NUL, which a reader's text does not show.
        ui_bytes = (ui["dir"] / "body.bin").read_bytes() if "dir" in ui else b""
        expect.append((ui_bytes == (NAME + "\0").encode("utf-16-le"),
                       f"the UI section's body is not {NAME} in UCS-2 with its NUL: {ui_bytes!r}"))
        ffs = (file["dir"] / "header.bin").read_bytes() + (file["dir"] / "body.bin").read_bytes()
        expect.append((ffs == (image / f"{NAME}.ffs").read_bytes(), "the .ffs is not the volume's"))
        expect.append((depex and (depex["dir"] / "body.bin").read_bytes() ==
                       (image / f"{NAME}.depex").read_bytes(), "the .depex is not the file's"))
        failures += [problem for ok, problem in expect if not ok]
    finally:
        shutil.rmtree(work)


def check_refusals(build, guid, failures):
    """What the packager must refuse or fail at, leaving nothing new. Each case: (name, bytes, a
    word of the expected reason, what is in the folder before: name -> bytes, or None for a
    folder); afterwards the folder must hold exactly that, unchanged. The last case is no refusal:
    earlier files are replaced by the build's own, and nothing is left beside them."""
    packager = build / "image" / "FirmwareFilePackager" / "FirmwareFilePackager"
    efi = (build / "image" / f"{NAME}.efi").read_bytes()
    pe = int.from_bytes(efi[0x3C:0x40], "little")
    optional = pe + 24

    def patched(offset, value):
        return efi[:offset] + value.to_bytes(2, "little") + efi[offset + 2:]

    earlier = {"out.depex": b"an earlier depex", "out.ffs": b"an earlier file"}
    cases = [("not a PE image", b"MZ is not enough" * 8, "PE signature", {}),
             ("a PE32 image", patched(optional, 0x10B), "not PE32+", {}),
             ("an optional header too short", patched(pe + 20, 69), "too short to hold the", {}),
             ("an EFI application", patched(optional + 68, 10), "boot-service driver", {}),
             ("an image past 16 MiB", efi + bytes(0x1000000 - len(efi)), "24-bit", {}),
             ("a folder where the volume goes", efi, "cannot replace out.fv",
              {**earlier, "out.fv": None}),
             ("earlier files to replace", efi, None, earlier)]
    built = {f"out.{kind}": (build / "image" / f"{NAME}.{kind}").read_bytes()
             for kind in ("depex", "ffs", "fv")}
    for what, content, reason, before in cases:
        with tempfile.TemporaryDirectory() as work:
            folder = pathlib.Path(work)
            (folder / "input.efi").write_bytes(content)
            for name, old in before.items():
                (folder / name).mkdir() if old is None else (folder / name).write_bytes(old)
            run = subprocess.run([packager, "input.efi", guid, NAME, "out"], cwd=work,
                                 capture_output=True, text=True, timeout=30)
            after = {entry.name: None if entry.is_dir() else entry.read_bytes()
                     for entry in folder.iterdir() if entry.name != "input.efi"}
            print(f"{what}: exit {run.returncode}: {run.stderr.strip()}")
            if reason is None and (run.returncode != 0 or after != built):
                failures.append(f"{what}: exit {run.returncode}, left {sorted(after)}, not the build's")
            elif reason is not None and (run.returncode == 0 or reason not in run.stderr
                                         or after != before):
                failures.append(f"{what} was not refused cleanly (left {sorted(after)})")


def check_insertion(build, guid, failures):
    """The .ffs in a platform's volume, as --insert puts it there; a second one, or one that does
    not fit, refused."""
    packager = build / "image" / "FirmwareFilePackager" / "FirmwareFilePackager"
    ffs = build / "image" / f"{NAME}.ffs"
    with tempfile.TemporaryDirectory() as work:
        run = lambda *arguments: subprocess.run([packager, *map(str, arguments)], cwd=work,
                                                capture_output=True, text=True, timeout=30)
        for blocks in (1, 16):
            run("--empty-volume", blocks, f"empty-{blocks}.fv")
        inserted = run("--insert", "empty-16.fv", ffs, "with-driver.fv")
        print(f"inserted into an empty volume: exit {inserted.returncode} {inserted.stderr.strip()}")
        check_volume(build, guid, failures, pathlib.Path(work) / "with-driver.fv")
        for volume, reason in (("with-driver.fv", "already holds a file of that name"),
                               ("empty-1.fv", "bytes of free space after its last file")):
            refused = run("--insert", volume, ffs, "refused.fv")
            print(f"into {volume}: exit {refused.returncode}: {refused.stderr.strip()}")
            if refused.returncode == 0 or reason not in refused.stderr or (pathlib.Path(work) / "refused.fv").exists():
                failures.append(f"--insert into {volume} was not refused cleanly")


def main(build, guid):
    failures, build = [], pathlib.Path(build).resolve()
    check_volume(build, guid.upper(), failures)
    check_insertion(build, guid.upper(), failures)
    check_refusals(build, guid, failures)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
