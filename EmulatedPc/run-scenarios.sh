#!/usr/bin/env bash
# Boots the shipped driver image on the emulated PC, dispatched from its firmware volume, in each
# scenario and judges each serial log (each starts the driver in the dispatcher's first pass unless
# said otherwise):
#   (a) TSC-deadline CPU, xAPIC; the low half of the TSC wraps (2^33) in the counting window
#   (b) the same CPU in x2APIC mode, at a period of 250 us
#   (c) a 64-bit CPU without TSC-deadline: "not supported", EFI_DEVICE_ERROR, no timer (a build
#       that may tick in one-shot mode ticks there)
#   (d) a timer protocol already installed: the driver's assertion, and its halt
#   (e) a period of 1 us, shorter than the handler's path: the interrupt stack runs out
#   (f) a period of no TSC ticks at all (1 x 100 ns at 5 MHz): the same, and no division by it
#   (g) a period of 2^63 x 100 ns, whose TSC ticks (2^64) saturate: no tick, no wrap
#   (h) a period of 15 us (19 us in one-shot mode), shorter than the interrupt path: ticks back
#       to back, no time left
#   (i) the guard copy in the entry's frame overwritten: the stack-fault report, and the halt
#   (j) the configuration database installed only after the first pass: the driver starts in pass 2
#   (k) no CPU Architectural Protocol: the depex never holds, the driver never starts or prints
#   (l) a build with other settings (vector, token, COM2 at 57600 baud, a 5 ms default period,
#       no debug messages, one-shot mode), judged by them
#   (m) the same build, a timer installed first: no greeting, but the assertion
# The board check application, started by the firmware (every one of its lines judged):
#   (n) the board as it is before our driver, a CPU without an errata row: inspect and exercise
#       from a shell's command line; "suits", every deadline fired, none early
#   (o) the default CPU, Skylake server stepping 4 with microcode 0, in x2APIC mode: under the
#       TSC-deadline erratum, the exercise runs in one-shot mode; "suits a build with
#       -DVESK_TIMER_MODE=auto" (the options alone, as a boot option has them)
#   (p) a CPU without TSC-deadline whose firmware leaves the APIC timer counting, masked: neither
#       measured nor exercised, and counting after; a port without a UART (never the build's own)
#   (q) the configuration database answering twice the rate, no options (inspect only), on a CPU
#       whose highest CPUID leaf is below 0x15, a FADT whose checksum fails: "does not suit",
#       naming both rates and the FADT
#   (r) our driver dispatched first: its timer runs; the exercise refuses, inspect finds its period
#   (s) a deadline that fires early (staged by the firmware), no ACPI tables: "does not suit"
#   (t) Ryzen, no TSC-deadline mode: the one-shot exercise gives "suits a build with
#       -DVESK_TIMER_MODE=auto"
# One-shot mode:
#   (u) the one-shot build of (l) in x2APIC mode
# A build that chooses its mode (VESK_TIMER_MODE=auto), and the default build where it declines:
#   (v) AMD (ryzen), no TSC-deadline: one-shot mode, at a period longer than one count holds
#   (w) Core 2, no TSC-deadline: one-shot mode
#   (x) Haswell with microcode 0, under its errata row: one-shot mode
#   (y) Tiger Lake, no errata row: TSC-deadline mode
#   (z) the default build on ryzen: "not supported"
#
#   run-scenarios.sh [--build-dir DIR]     (default: build)
#
# (l), (m), (u) and (v) to (y) boot build folders of their own in DIR. Each run is judged against
# the settings of the build it boots. Serial logs are kept in DIR/emulated-pc/scenarios/. Exits non-zero if any
# scenario fails.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
BUILD_DIR=$ROOT/build
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir)
      [[ $# -ge 2 && -n "$2" && "$2" != -* ]] ||
        { echo "run-scenarios.sh: --build-dir needs a value (DIR)" >&2; exit 2; }
      BUILD_DIR=$(readlink -f "$2"); shift 2 ;;
    *) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 2 ;;
  esac
done

TSC_DEADLINE_CPU=corei7_skylake_x    # reports tsc_deadline, xapic and x2apic
NO_TSC_DEADLINE_CPU=core2_penryn_t9600 # 64-bit, local APIC, no TSC-deadline
TSC_WRAP=$((1 << 33)) # the low half of the TSC wraps here in scenario (a)'s counting window
STORM_TIMEOUT=5  # seconds: a period the machine cannot sustain must be named at once, not hang
HALT_TIMEOUT=10  # seconds: a halt that hangs the machine ends here
LONG_PERIOD_TIMEOUT=120 # seconds: periods of seconds of emulated time, printed at 10^9 TSC ticks a second

use_build() { # DIR [-DVESK_...=value ...]: the scenarios that follow boot that build's ROMs
  "$HERE/build-roms.sh" "$@" || exit 1
  SETTINGS=$1/image/VeskLapicTimerDxe.settings
  ROMS=(--rom "$1/emulated-pc/EmulatedPcRom.bin" --video-rom "$1/emulated-pc/VideoRom.bin" --settings "$SETTINGS")
  MAP=$1/image/VeskLapicTimerDxe.map
  MODE=$(sed -n 's/^VESK_TIMER_MODE=//p' "$SETTINGS")
}

use_build "$BUILD_DIR"
LOGS=$BUILD_DIR/emulated-pc/scenarios
mkdir -p "$LOGS"

# Scenario (a)'s counting window opens some 6.5 million TSC ticks after the clock's start with the
# default settings (the driver's entry, 2.5 of its default periods, the report lines at its rate),
# and differently in every build. The emulator repeats a run exactly, so one boot of the same
# machine measures it, and (a) starts the clock that much before the wrap, less half its window.
# The judge checks that the window does straddle the wrap.
wrapping_tsc_start() {
  local probe=$LOGS/a-window-probe.log
  "$HERE/boot.py" "${ROMS[@]}" --serial "$probe" --cpu "$TSC_DEADLINE_CPU" >/dev/null 2>&1
  python3 - "$HERE" "$probe" "$TSC_WRAP" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
from judge_serial_log import SerialLog
log, wrap = SerialLog(sys.argv[2]), int(sys.argv[3])
start, opened, span = (log.number(key) for key in ("tsc-start", "set-period-tsc", "span-tsc"))
if min(start, opened, span) < 0 or opened < start:
    sys.exit(f"run-scenarios.sh: no counting window in {sys.argv[2]}; scenario (a) starts at 2^33")
print(max(wrap - (opened - start) - span // 2, 0))
EOF
}
WRAPPING_TSC_START=$(wrapping_tsc_start) || WRAPPING_TSC_START=$TSC_WRAP

LOG_TAIL_LINES=12 # shown for a failed scenario, so that a CI log says what went wrong
passed=0
failed=0
scenario() { # name description judge-options -- boot-options
  local name=$1 description=$2 started result=FAIL booted=0; shift 2
  local judge=() boot=()
  while [ "$1" != -- ]; do judge+=("$1"); shift; done
  shift
  boot=("$@")
  echo "scenario ($name): $description"
  local log=$LOGS/$name.log
  started=$EPOCHREALTIME
  "$HERE/boot.py" "${ROMS[@]}" --serial "$log" "${boot[@]}" 2>&1 | sed 's/^/  /' || booted=1
  # Judged even when it did not power off: the judge names what the log lacks.
  if "$HERE/judge_serial_log.py" --settings "$SETTINGS" "${judge[@]}" "$log" && [ "$booted" -eq 0 ]; then
    passed=$((passed + 1)) result=pass
  else
    echo "  serial log: $log; its last lines:"
    tail -n "$LOG_TAIL_LINES" "$log" | tr -d '\r' | sed 's/^/    | /'
    failed=$((failed + 1))
  fi
  awk -v result=$result -v from="$started" -v to="$EPOCHREALTIME" \
    'BEGIN { printf "  result: %s in %.1f s\n", result, to - from }'
}

# A build that may tick in one-shot mode does so on this Skylake server, whose microcode 0 lies
# below its errata row; its handler's path is longer, so its ticks come back to back at a longer
# period. Its line on its mode is judged in the scenarios of such builds below.
DEADLINE_CPU_RUNS=()
LIVELOCK_PERIOD=150
if [ "$MODE" != tsc-deadline ]; then
  DEADLINE_CPU_RUNS=(--timer-mode one-shot)
  LIVELOCK_PERIOD=190
fi
scenario a "TSC-deadline CPU ($TSC_DEADLINE_CPU), xAPIC, TSC from $WRAPPING_TSC_START" \
  --expect timer "${DEADLINE_CPU_RUNS[@]}" --apic xapic --low-half-wraps -- --cpu "$TSC_DEADLINE_CPU" \
  --tsc-start "$WRAPPING_TSC_START"
scenario b "TSC-deadline CPU ($TSC_DEADLINE_CPU), x2APIC, period 2500" \
  --expect timer "${DEADLINE_CPU_RUNS[@]}" --apic x2apic -- --cpu "$TSC_DEADLINE_CPU" --x2apic --period 2500 \
  --span 160
if [ "$MODE" = tsc-deadline ]; then
  scenario c "CPU without TSC-deadline ($NO_TSC_DEADLINE_CPU)" \
    --expect unsupported --apic xapic -- --cpu "$NO_TSC_DEADLINE_CPU"
else
  scenario c "CPU without TSC-deadline ($NO_TSC_DEADLINE_CPU), a build that may tick in one-shot mode" \
    --expect timer --timer-mode one-shot --apic xapic -- --cpu "$NO_TSC_DEADLINE_CPU"
fi
scenario d "a timer protocol installed before the driver" \
  --expect halted "${DEADLINE_CPU_RUNS[@]}" --map "$MAP" -- --cpu "$TSC_DEADLINE_CPU" --timer-installed \
  --timeout "$HALT_TIMEOUT"
scenario e "period 10 (20 TSC ticks): each tick nests in the one before" \
  --expect overflow "${DEADLINE_CPU_RUNS[@]}" -- --cpu "$TSC_DEADLINE_CPU" --period 10 --timeout "$STORM_TIMEOUT"
scenario f "period 1 at 5 MHz: no TSC ticks per period" \
  --expect overflow "${DEADLINE_CPU_RUNS[@]}" --apic x2apic -- --cpu "$TSC_DEADLINE_CPU" --x2apic --period 1 \
  --ips 5000000 --timeout "$STORM_TIMEOUT"
scenario g "period 2^63: its 2^64 TSC ticks saturate" \
  --expect timer "${DEADLINE_CPU_RUNS[@]}" -- --cpu "$TSC_DEADLINE_CPU" --period 9223372036854775808 --span 2
scenario h "period $LIVELOCK_PERIOD ($((LIVELOCK_PERIOD * 2)) TSC ticks): the ticks come back to back" \
  --expect livelock "${DEADLINE_CPU_RUNS[@]}" -- --cpu "$TSC_DEADLINE_CPU" --period "$LIVELOCK_PERIOD" \
  --timeout "$STORM_TIMEOUT"
scenario i "the stack guard in the entry's frame overwritten while it waits for the firmware" \
  --expect stack-fault "${DEADLINE_CPU_RUNS[@]}" --map "$MAP" -- --cpu "$TSC_DEADLINE_CPU" --smash-entry-guard \
  --timeout "$HALT_TIMEOUT"
scenario j "the configuration database installed after the first dispatch pass" \
  --expect timer "${DEADLINE_CPU_RUNS[@]}" --dispatch-pass 2 -- --cpu "$TSC_DEADLINE_CPU" --pcd-late
scenario k "no CPU Architectural Protocol: the depex never holds" \
  --expect not-dispatched "${DEADLINE_CPU_RUNS[@]}" -- --cpu "$TSC_DEADLINE_CPU" --no-cpu-arch

# Builds with other platform settings: the emulated PC follows them, and judges by them.
OTHER_SETTINGS=(-DVESK_TIMER_VECTOR=0x41 -DVESK_TSC_FREQUENCY_TOKEN=9
  -DVESK_DEBUG_UART_PORT=0x2F8 -DVESK_DEBUG_UART_BAUD=57600 -DVESK_DEFAULT_TIMER_PERIOD=50000
  -DVESK_DEBUG_MESSAGES=OFF -DVESK_TIMER_MODE=one-shot)
use_build "$BUILD_DIR/emulated-pc-settings" "${OTHER_SETTINGS[@]}"
scenario l "a build with vector 0x41, token 9, COM2 at 57600 baud, default period 50000, no messages, one-shot" \
  --expect timer --timer-mode one-shot -- --cpu "$TSC_DEADLINE_CPU"
scenario m "the same build, a timer protocol installed before the driver: no greeting, the assertion" \
  --expect halted --map "$MAP" -- --cpu "$TSC_DEADLINE_CPU" --timer-installed --timeout "$HALT_TIMEOUT"

# The board check application, from the ROM of the default build.
use_build "$BUILD_DIR"
ERRATA_FREE_CPU=tigerlake # family 6 model 0x8C: no errata row; invariant TSC and ARAT
ERRATUM_TSC_DEADLINE=(--reason "TSC-deadline erratum on family 0x6 model 0x55 stepping 4: microcode 0x0 is below 0x2000014, update to 0x2000014 or later for the default build")
AUTO_BUILD="suits a build with -DVESK_TIMER_MODE=auto"
# A COM port with no UART behind it: bochs has one only at the build's debug port.
DEBUG_PORT=$(sed -n 's/^VESK_DEBUG_UART_PORT=//p' "$SETTINGS")
for EMPTY_PORT in 0x2E8 0x3E8 0x2F8; do [ "$EMPTY_PORT" != "${DEBUG_PORT:-0x3F8}" ] && break; done
scenario n "board check, $ERRATA_FREE_CPU, from a shell: inspect and exercise" \
  --expect board-check --verdict suits --exercise ran -- --cpu "$ERRATA_FREE_CPU" --start board-check \
  --load-options "VeskBoardCheck.efi --exercise"
scenario o "board check, $TSC_DEADLINE_CPU with microcode 0, x2APIC, options alone: one-shot under the erratum" \
  --expect board-check --apic x2apic --verdict "$AUTO_BUILD" "${ERRATUM_TSC_DEADLINE[@]}" --exercise ran \
  --auto-mode "one-shot (a TSC-deadline erratum)" -- \
  --cpu "$TSC_DEADLINE_CPU" --x2apic --start board-check --load-options=--exercise
scenario p "board check, $NO_TSC_DEADLINE_CPU, the APIC timer counting masked; asked for $EMPTY_PORT, which has no UART" \
  --expect board-check --verdict "$AUTO_BUILD" --reason "no TSC-deadline mode" --warning "TSC not invariant" \
  --warning "no ARAT" --warning "no UART at $EMPTY_PORT" --uart "absent at $EMPTY_PORT" \
  --warning "exercise not run: the local APIC timer is counting" \
  --exercise "not run: the local APIC timer is counting" -- --cpu "$NO_TSC_DEADLINE_CPU" --start board-check \
  --apic-timer-counting --load-options "fs0:\\tools\\VeskBoardCheck --exercise --port $EMPTY_PORT"
scenario q "board check, a configuration database answering twice the rate, a bad FADT checksum, no options" \
  --expect board-check --verdict "does not suit" \
  --reason "configuration database rate 40000000 Hz is [0-9]+ per mille off the measured [0-9]+ Hz" -- \
  --cpu corei7_ivy_bridge_3770k --start board-check --pcd-twice-rate --bad-fadt-checksum
scenario r "board check after our driver, whose timer runs at 1 ms" \
  --expect board-check --driver-first --verdict "suits, with warnings" \
  --warning "exercise not run: the local APIC timer has a TSC deadline armed" \
  --exercise "not run: the local APIC timer has a TSC deadline armed" -- --cpu "$ERRATA_FREE_CPU" \
  --start driver-then-board-check --load-options "VeskBoardCheck.efi --exercise"
scenario s "board check, a deadline that fires early, no ACPI tables" \
  --expect board-check --verdict "does not suit" --reason "exercise: 1 deadlines fired early" --exercise ran -- \
  --cpu "$ERRATA_FREE_CPU" --start board-check --load-options=--exercise --early-deadline --no-acpi-tables
scenario t "board check, ryzen: no TSC-deadline mode, the one-shot exercise" \
  --expect board-check --verdict "$AUTO_BUILD" --reason "no TSC-deadline mode" --exercise ran -- \
  --cpu ryzen --start board-check --load-options "VeskBoardCheck.efi --exercise"

# One-shot mode: the build of (l) in x2APIC mode, and a build that chooses its mode.
use_build "$BUILD_DIR/emulated-pc-settings" "${OTHER_SETTINGS[@]}"
scenario u "the one-shot build of (l) in x2APIC mode" \
  --expect timer --timer-mode one-shot --apic x2apic -- --cpu "$TSC_DEADLINE_CPU" --x2apic --period 2500 --span 160

# A build that chooses its timer mode by the processor: one-shot mode where TSC-deadline mode is
# missing or under an erratum, TSC-deadline mode elsewhere.
use_build "$BUILD_DIR/emulated-pc-auto" -DVESK_TIMER_MODE=auto
ONE_SHOT_AT=(--timer-mode one-shot --mode-reason)
# At 10^9 TSC ticks a second one count holds 4.3 s: a tick of 5 s takes two.
scenario v "auto build, AMD ryzen (no TSC-deadline mode), a period of 5 s, longer than one count" \
  --expect timer "${ONE_SHOT_AT[@]}" "no TSC-deadline mode" -- --cpu ryzen --ips 1000000000 --period 50000000 \
  --span 20 --timeout "$LONG_PERIOD_TIMEOUT"
scenario w "auto build, $NO_TSC_DEADLINE_CPU (no TSC-deadline mode)" \
  --expect timer "${ONE_SHOT_AT[@]}" "no TSC-deadline mode" -- --cpu "$NO_TSC_DEADLINE_CPU"
scenario x "auto build, corei7_haswell_4770 (microcode 0, under its errata row)" \
  --expect timer "${ONE_SHOT_AT[@]}" \
  "TSC-deadline erratum on family 0x6 model 0x3C stepping 3, microcode 0x0 is below 0x22" -- \
  --cpu corei7_haswell_4770
scenario y "auto build, tigerlake (no errata row)" --expect timer --mode-reason "no erratum applies" -- \
  --cpu tigerlake
use_build "$BUILD_DIR"
[ "$MODE" != tsc-deadline ] ||
  scenario z "the default build on AMD ryzen, no TSC-deadline mode" --expect unsupported -- --cpu ryzen

echo "emulated-pc: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
