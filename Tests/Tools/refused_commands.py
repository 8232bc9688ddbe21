#!/usr/bin/env python3
"""The tools answer a user's mistake before they start work. Every command line of REFUSED runs in
a copy of the tree, without its build folders but with an earlier run's serial log, a build image
and a release that differ and a release's image build: each must exit non-zero with a line that
names the problem, show no serial log, and leave every file of the copy as it was. A failed
configure leaves CMake's own cache, which must not keep the refused name. Then a release into a
folder that holds an earlier release must leave exactly the new release's files there, and say
the settings it was built with. Last, the command lines of BOOTED run Tools/run-driver.sh on the
build under test, configured with the defaults: a mistake it can find only once the build is there
is still refused before the boot, and a run never lets a mistake look like a success.
    refused_commands.py BUILD_DIR
"""
import hashlib
import os
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
ANSWER_SECONDS = 60  # a refusal takes a second or two; a build takes minutes
RELEASE_SECONDS = 150  # the image built from scratch, while other checks build too
EARLIER_LINE = "[pc] a line of an earlier run"
IMAGE = "VeskLapicTimerDxe"

CONFIGURE = "cmake -S . -B B -G Ninja -DCMAKE_CXX_COMPILER=clang++"
NOT_KNOWN = "is not a platform setting or a build option: the closest is"
# Command line, run from the copy's top folder; what its refusal must say.
REFUSED = [
    ("Tools/release.sh --out R -DVESK_TIMER_VECTR=0x41",
     "release.sh: VESK_TIMER_VECTR='0x41' is not a platform setting: the closest is VESK_TIMER_VECTOR."),
    ("Tools/release.sh --out R -D VESK_DEBUG_UART_BAUD=7",
     "release.sh: VESK_DEBUG_UART_BAUD='7' cannot be used: accepted is a rate that divides 115200"),
    ("Tools/release.sh --out", "release.sh: --out needs a value (DIR)"),
    ("Tools/release.sh --bogus", "release.sh: unknown argument '--bogus'\nBuilds the driver image"),
    ("Tools/release.sh --out Tools",
     "release.sh: Tools holds what no earlier release wrote (BoardCheckOptions.cpp, benchmark_table.py"),
    ("Tools/release.sh --out build/release-image/R", "release-image, where the release is built"),
    (f"{CONFIGURE} -DVESK_DEBUG_UART_BAUDRATE=9600",
     f"VESK_DEBUG_UART_BAUDRATE='9600' {NOT_KNOWN} VESK_DEBUG_UART_BAUD."),
    (f"{CONFIGURE} -D VESK_SANITIZ=ON", f"VESK_SANITIZ='ON' {NOT_KNOWN} VESK_SANITIZE."),
    ("EmulatedPc/build-roms.sh B -DVESK_TIMER_VECTR=0x41", f"{NOT_KNOWN} VESK_TIMER_VECTOR."),
    ("Tools/run-driver.sh --perod 3",
     "run-driver.sh: unknown option '--perod'; usage:\n  Tools/run-driver.sh [--x2apic] [--period"),
    ("Tools/run-driver.sh --plot /no/such/dir/t.svg",
     "run-driver.sh: --plot /no/such/dir/t.svg: there is no folder /no/such/dir"),
    ("Tools/run-driver.sh --period 0 --span 0x10000",
     "run-driver.sh: --period '0' cannot be used: accepted is a whole number from 1 to "
     "18446744073709551615 (2^64 - 1), decimal or 0x-hex\nrun-driver.sh: --span '0x10000' cannot"),
    ("Tools/run-driver.sh --x2apic --span", "run-driver.sh: --span needs a value (PERIODS)"),
    ("Tools/run-driver.sh --cpu corei7_skylake",
     "run-driver.sh: --cpu corei7_skylake: bochs has no such CPU model"),
    ("Tools/size-report.sh --bogus",
     "size-report.sh: '--bogus' is not a number of frames from 1 to 999; usage:"),
    ("Tools/sign-image.sh --cert signer.crt --key", "sign-image.sh: --key needs a value (KEY)"),
    ("EmulatedPc/run-scenarios.sh --build-dir", "run-scenarios.sh: --build-dir needs a value (DIR)"),
    ("Tools/coverage.sh --bogus", "coverage.sh: takes no arguments"),
    ("Tools/run-benchmark.sh --bogus",
     "run-benchmark.sh: '--bogus' is not a Google Benchmark flag (--benchmark_...); usage:"),
    ("Tools/run-tests.sh -D VESK_SANITIZE=ON",
     "run-tests.sh: VESK_SANITIZE='ON' is not a platform setting: the closest is"),
    ("Tools/sign-image.sh --key signer.key --cert signer.crt",
     "differ (built with other settings): name the one to sign with --image"),
    ("Tools/symbolize.sh VeskLapicTimerDxe+0x24DC",
     "symbolize.sh: the build's image build/image/VeskLapicTimerDxe.efi and the release's "
     "build/release/VeskLapicTimerDxe.efi differ (built with other settings): name the debug file to read "
     "with --debug"),
    ("Tools/run-driver.sh --build-dir no/such/build",
     "run-driver.sh: --build-dir no/such/build: there is no such folder; make it a build with the platform's "
     "settings: EmulatedPc/build-roms.sh no/such/build -DVESK_...=value"),
    ("Tools/run-driver.sh --build-dir build/release-image",
     "run-driver.sh: --build-dir build/release-image: a build of the image alone (as Tools/release.sh makes), "
     "without the emulated PC; to boot its settings: EmulatedPc/build-roms.sh DIR -DVESK_TIMER_VECTOR=0x41 && "
     "Tools/run-driver.sh --build-dir DIR"),
    ("Tools/plot-ticks.sh no-such.log ticks.svg", "plot-ticks.sh: there is no serial log no-such.log to draw"),
]
# Command line, run from the tree with --build-dir BUILD_DIR; its exit status; what it must say. Each
# names the build folder and its settings first, then builds, and says what it built.
FIRST_LINE = "== Build folder {build}, platform settings: the defaults\n"
BUILT = ("Emulated PC ROM: {build}/emulated-pc/EmulatedPcRom.bin (VideoRom.bin beside it), carrying "
         "{build}/image/VeskLapicTimerDxe.fv and {build}/image/VeskBoardCheck.efi\n")
BOOTED = [
    ("Tools/run-driver.sh --board-check=--exercize", 2,
     "run-driver.sh: --board-check=--exercize: the board check refuses these options; nothing was booted. "
     "It says:\n  board-check: unknown option '--exercize'\n  usage: VeskBoardCheck.efi [--exercise]"),
    # corei7_skylake_x, microcode 0: under the TSC-deadline erratum's row, which one-shot mode avoids.
    ("Tools/run-driver.sh --board-check=--exercise", 0,
     'The board check returned 0x0000000000000000 with the verdict "suits a build with '
     '-DVESK_TIMER_MODE=auto": exit status 0'),
    ("Tools/run-driver.sh --board-check --cpu tigerlake", 0,
     'The board check returned 0x0000000000000000 with the verdict "suits": exit status 0'),
    ("Tools/run-driver.sh --cpu core2_penryn_t9600", 0,
     "verdict: pass: the driver declined, as it must on a processor without TSC-deadline mode"),
    ("Tools/run-driver.sh --timer-installed", 0, " in HaltUntilReleased(), "),
]
BOOT_SECONDS = 120  # a boot takes a few seconds, after a build that is already there
# What a failed configure of B may leave: CMake saves its cache after any configure.
CMAKE_BOOKKEEPING = re.compile(r"B/(CMakeCache\.txt|CMakeFiles/.*)")


def snapshot(tree):
    return {str(path.relative_to(tree)): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(tree.rglob("*")) if path.is_file()}


def make_copy(work):
    tree = work / "tree"
    # The sources as they are, without the build folders at the top.
    skipped = lambda folder, names: [name for name in names if name in (".git", "__pycache__") or
                                     (folder == str(ROOT) and name.startswith("build"))]
    shutil.copytree(ROOT, tree, ignore=skipped)
    log = tree / "build" / "emulated-pc" / "serial.log"
    log.parent.mkdir(parents=True)
    log.write_text(f"{EARLIER_LINE}\n[pc] result=done\n")
    for kind, vector in (("image", "0x40"), ("release", "0x41")):
        folder = tree / "build" / kind
        folder.mkdir(exist_ok=True)
        (folder / f"{IMAGE}.efi").write_text(f"an image with vector {vector}")
        (folder / f"{IMAGE}.debug").write_text(f"the debug file of the image with vector {vector}")
        (folder / f"{IMAGE}.settings").write_text(f"VESK_TIMER_VECTOR={vector}\n")
    # The folder Tools/release.sh builds that release in: the image alone, with the firmware's toolchain.
    (tree / "build" / "release-image").mkdir()
    (tree / "build" / "release-image" / "CMakeCache.txt").write_text(
        f"CMAKE_TOOLCHAIN_FILE:FILEPATH={tree}/cmake/FirmwareImageToolchain.cmake\n"
        "VESK_TIMER_VECTOR:STRING=0x41\nVESK_DEBUG_MESSAGES:BOOL=ON\n")
    for name in ("signer.key", "signer.crt"):
        (tree / name).write_text("never read: the refusal comes first")
    return tree


def answer(argv, tree, seconds=ANSWER_SECONDS):
    """The finished run of a command, or None when it had not finished in time; a command that
    went on is stopped with everything it started."""
    with subprocess.Popen(argv, cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          start_new_session=True) as process:
        try:
            stdout, stderr = process.communicate(timeout=seconds)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            return None
    return subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)


def check_refusals(tree, failures):
    for command, message in REFUSED:
        before = snapshot(tree)
        argv = shlex.split(command)
        argv[0] = str(tree / argv[0]) if "/" in argv[0] else argv[0]  # the copy's tool, not ours
        run = answer(argv, tree)
        if run is None:
            failures.append(f"{command}: no answer within {ANSWER_SECONDS} s: it went to work")
            continue
        said = run.stdout + run.stderr
        left = {name for name, digest in snapshot(tree).items() if before.get(name) != digest}
        if command.startswith("cmake "):
            refused = re.search(r"(VESK_\w+)='", said)
            cache = tree / "B" / "CMakeCache.txt"
            if refused and cache.exists() and refused[1] in cache.read_text():
                failures.append(f"{command}: CMake's cache keeps {refused[1]}")
            left = {name for name in left if not CMAKE_BOOKKEEPING.fullmatch(name)}
        print(f"$ {command}\n  exit {run.returncode}: " + "\n  ".join(said.strip().split("\n")[:3]))
        if run.returncode == 0 or message not in said:
            failures.append(f"{command}: exit {run.returncode}, not refused with '{message}'")
        if EARLIER_LINE in said:
            failures.append(f"{command}: showed an earlier run's serial log")
        if left:
            failures.append(f"{command}: left {sorted(left)}")
        shutil.rmtree(tree / "B", ignore_errors=True)


def check_release_replaced(tree, failures):
    """A release into a folder that holds an earlier one, with a file the new one lacks and the
    earlier image's signed copy."""
    out = tree / "R"
    out.mkdir()
    (out / f"{IMAGE}.old").write_text("a file of an earlier release")
    (out / f"{IMAGE}.signed.efi").write_text("the earlier image, signed")
    (out / f"{IMAGE}.efi").write_text("an earlier image")
    digest = lambda name: hashlib.sha256((out / name).read_bytes()).hexdigest()
    earlier = (f"{IMAGE}.old", f"{IMAGE}.efi")
    (out / "SHA256SUMS").write_text("".join(f"{digest(name)}  {name}\n" for name in earlier))
    run = answer([tree / "Tools" / "release.sh", "--out", "R"], tree, RELEASE_SECONDS)
    if run is None or run.returncode != 0:
        failures.append("the release over an earlier one failed: " +
                        (run.stderr.strip()[-500:] if run else f"not done in {RELEASE_SECONDS} s"))
        return
    settings = (out / f"{IMAGE}.settings").read_text()
    if "".join(f"  {line}\n" for line in settings.splitlines()) not in run.stdout:
        failures.append(f"the release did not print its settings, {settings.split()}:\n{run.stdout}")
    listed = {line.split("  ", 1)[1] for line in (out / "SHA256SUMS").read_text().splitlines()}
    present = {entry.name for entry in out.iterdir()}
    verified = subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=out, timeout=30)
    print(f"release over an earlier one: {sorted(present)}")
    if present != listed | {"SHA256SUMS"} or verified.returncode != 0:
        failures.append(f"the folder holds {sorted(present)}, its SHA256SUMS lists {sorted(listed)}")


def check_booted(build, failures):
    for command, status, message in BOOTED:
        argv = shlex.split(command) + ["--build-dir", str(build)]
        argv[0] = str(ROOT / argv[0])
        run = answer(argv, ROOT, BOOT_SECONDS)
        if run is None:
            failures.append(f"{command}: no answer within {BOOT_SECONDS} s")
            continue
        said = run.stdout + run.stderr
        print(f"$ {command} --build-dir {build}\n  exit {run.returncode}: " + said.strip().split("\n")[-1])
        if run.returncode != status or message not in said:
            failures.append(f"{command}: exit {run.returncode}, not {status} with '{message}'")
        opening = FIRST_LINE.format(build=build)
        if not run.stdout.startswith(opening) or BUILT.format(build=build) not in run.stdout:
            failures.append(f"{command}: its first lines do not name {build}, its settings and what it built:\n"
                            + "\n".join(run.stdout.split("\n")[:3]))
        if status == 2 and "[pc] " in said:
            failures.append(f"{command}: showed a serial log, though refused before the boot")


def check_not_suited(failures):
    """The answer a script acts on for a board that does not suit: exit 1. No option of
    run-driver.sh makes the emulated board unsuitable, so the application's lines are written here."""
    with tempfile.NamedTemporaryFile("w", suffix=".log") as log:
        log.write("[con] verdict: does not suit: exercise: 1 deadlines fired early\r\n"
                  "[pc] app-status=0x8000000000000003\r\n")
        log.flush()
        run = subprocess.run([sys.executable, str(ROOT / "EmulatedPc/board_check_answer.py"), log.name],
                             capture_output=True, text=True, timeout=ANSWER_SECONDS)
    if run.returncode != 1 or '"does not suit": exit status 1' not in run.stdout:
        failures.append(f"a board that does not suit answered exit {run.returncode}: {run.stdout.strip()}")


def main(arguments):
    if len(arguments) != 1:
        sys.stderr.write(__doc__.rsplit("\n", 2)[-2].strip() + "\n")
        return 2
    failures = []
    with tempfile.TemporaryDirectory() as work:
        tree = make_copy(pathlib.Path(work))
        check_refusals(tree, failures)
        check_release_replaced(tree, failures)
    check_booted(pathlib.Path(arguments[0]).resolve(), failures)
    check_not_suited(failures)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"refused: {len(REFUSED)} command lines, before any work; a release replaces an earlier one "
              f"whole; {len(BOOTED)} runs of the build answered as they must")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
