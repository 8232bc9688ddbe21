#!/usr/bin/env bash
# Builds the driver image and the emulated PC's test firmware, boots the image on the emulated PC
# (bochs: local APIC in TSC-deadline mode, 16550 UART on the driver's debug port) and prints the
# serial log: the driver's own lines, then the test firmware's report of the ticks it saw
# ("[pc] ..." lines), and the judgement of the log.
#
#   Tools/run-driver.sh [--x2apic] [--period UNITS] [--cpu MODEL] [--span PERIODS] [--ips N]
#                       [--tsc-start VALUE] [--timer-installed] [--smash-entry-guard]
#                       [--pcd-late] [--no-cpu-arch] [--timeout SECONDS] [--plot FILE.svg]
#                       [--build-dir DIR] [--board-check[=OPTIONS]]
#
#   --x2apic           switch the local APIC to x2APIC mode before the driver starts
#   --period UNITS     the tick period the firmware core asks for, in 100 ns units (default 10000;
#                      1 to 2^64 - 1: a period of 0 would stop the timer, leaving nothing to count)
#   --cpu MODEL        a bochs CPU model (default corei7_skylake_x; core2_penryn_t9600 has no
#                      TSC-deadline timer; `bochs -help cpu` lists them)
#   --span PERIODS     how many periods the ticks are counted for (default 40, at most 65535; a
#                      period counts for at most one second)
#   --ips N            emulated instructions per second, which is also the TSC frequency
#                      (default 20000000, at least 1000000, at most 2^32 - 1)
#   --tsc-start VALUE  the TSC value the machine's clock runs to before the driver is loaded
#                      (default 2^32; 0 leaves it where it is)
#   --timer-installed  a timer protocol is there before the driver: it must assert and halt
#   --smash-entry-guard the firmware overwrites the stack guard in the entry's frame: the entry
#                      must report the stack fault and halt
#   --pcd-late         the configuration database comes only after the firmware's first dispatch
#                      pass: the driver must start in pass 2
#   --no-cpu-arch      no CPU Architectural Protocol: the driver's depex never holds, and it must
#                      never start (result not-dispatched)
#   --timeout SECONDS  host seconds before a run that does not power off is stopped (default 30,
#                      plus the run's emulated time at 10 million instructions a second)
#   --plot FILE.svg    draw every tick of the run into a picture (Tools/plot-ticks.sh); its
#                      folder must exist and be writable
#   --build-dir DIR    a build folder configured with a platform's settings (made by
#                      EmulatedPc/build-roms.sh DIR -DVESK_...=value); the run is judged against
#                      them. Without it: build, configured with the defaults when it is new
#   --board-check[=OPTIONS]  start the board check application instead of the driver, with its
#                      options (--board-check=--exercise), which are checked as the application
#                      checks them before anything boots; the exit status is 1 when the board
#                      does not suit or the application returns a failure
#
# Numbers are decimal or 0x-hex. Every option is checked before anything is built (the board
# check's options once the build is there, before it boots), and the serial log shown is always
# this run's. The first line names the build folder and the platform settings it boots.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

help() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
synopsis() { sed -n '/^#   Tools\/run-driver.sh/,/^#$/{/^#$/!s/^# \{0,1\}//p}' "$0"; }
refuse() { sed 's/^/run-driver.sh: /' <<<"$1" >&2; exit 2; }

apic=xapic
expect=timer
dispatch_pass=1
cpu=corei7_skylake_x
plot=
build=$ROOT/build
build_given=
board_check_given= # --board-check=OPTIONS as given, whose OPTIONS are checked before the boot
boot_options=()
numbers=()
while [ $# -gt 0 ]; do
  option=$1
  case "$option" in
    --period) value=UNITS ;; --span) value=PERIODS ;; --ips) value=N ;;
    --tsc-start) value=VALUE ;; --timeout) value=SECONDS ;; --cpu) value=MODEL ;;
    --plot) value=FILE.svg ;; --build-dir) value=DIR ;; *) value= ;;
  esac
  if [ -n "$value" ]; then
    [[ $# -ge 2 && -n "$2" && "$2" != --* ]] || refuse "$option needs a value ($value)"
    value=$2
    shift
  fi
  shift
  case "$option" in
    -h | --help) help; exit 0 ;;
    --board-check) expect=board-check; boot_options+=(--start board-check); continue ;;
    --board-check=*)
      expect=board-check
      board_check_given=$option
      boot_options+=(--start board-check "--load-options=${option#*=}")
      continue ;;
    --x2apic) apic=x2apic ;;
    --timer-installed) expect=halted ;;
    --smash-entry-guard) expect=stack-fault ;;
    --pcd-late) dispatch_pass=2 ;;
    --no-cpu-arch) expect=not-dispatched ;;
    --period | --span | --ips | --tsc-start | --timeout) numbers+=("$option" "$value") ;;
    --cpu) cpu=$value ;;
    # Paths are the caller's, taken from where the command was given.
    --plot) plot=$(realpath -m -- "$value"); continue ;;
    --build-dir) build_given=$value; build=$(realpath -m -- "$value"); continue ;;
    *)
      { echo "run-driver.sh: unknown option '$option'; usage:"; synopsis
        echo "(run-driver.sh --help describes each option)"; } >&2
      exit 2 ;;
  esac
  boot_options+=("$option")
  [ -z "$value" ] || boot_options+=("$value")
done

refusals=$(python3 "$ROOT/EmulatedPc/run_numbers.py" ${numbers[@]+"${numbers[@]}"}) ||
  refuse "$refusals"
if [ -n "$plot" ]; then
  folder=$(dirname "$plot")
  [ -d "$folder" ] || refuse "--plot $plot: there is no folder $folder"
  [ -w "$folder" ] || refuse "--plot $plot: the folder $folder cannot be written"
  [ ! -d "$plot" ] || refuse "--plot $plot is a folder, not a file"
fi
# A folder named must be a build that boots; the default one is configured when it is new.
if [ -n "$build_given" ]; then
  settings_said=$(python3 "$ROOT/Tools/build_folder.py" "$build_given") ||
    refuse "--build-dir $build_given: $settings_said"
else
  settings_said=$(python3 "$ROOT/Tools/build_folder.py" --default "$build")
fi

echo "== Build folder $build, platform settings: $settings_said"
cd "$ROOT"
Tools/install-prerequisites.sh
# bochs names its CPU models; a misspelt one would only stop the emulator after the build.
models=$(bochs -help cpu 2>&1 || true)
[[ "$models" != *"Supported CPU models:"* ]] || grep -qxF -- "$cpu" <<<"$models" ||
  refuse "--cpu $cpu: bochs has no such CPU model (bochs -help cpu lists them)"

echo "== Building the driver image and the emulated PC's firmware"
EmulatedPc/build-roms.sh "$build"
if [ -n "$board_check_given" ]; then
  # The application's own option handling, built for the host: what it would refuse is refused here,
  # in its words, instead of booting for nothing.
  checker_log=$build/board-check-options-build.log
  cmake --build "$build" --target BoardCheckOptions >"$checker_log" 2>&1 || {
    tail -n 40 "$checker_log" >&2
    echo "run-driver.sh: the board check's option check did not build (full log: $checker_log)" >&2
    exit 1
  }
  if ! complaint=$("$build/BoardCheckOptions" "${board_check_given#*=}"); then
    { echo "run-driver.sh: $board_check_given: the board check refuses these options;" \
        "nothing was booted. It says:"
      sed 's/^/  /' <<<"$complaint"; } >&2
    exit 2
  fi
fi

log=$build/emulated-pc/serial.log
settings=$build/image/VeskLapicTimerDxe.settings
echo "== Booting the emulated PC; serial log (port $(sed -n 's/^VESK_DEBUG_UART_PORT=//p' "$settings")):"
# Cleared first: whatever happens to this boot, no earlier run's log is shown in its place.
rm -f "$log"
status=0
EmulatedPc/boot.py --rom "$build/emulated-pc/EmulatedPcRom.bin" --video-rom "$build/emulated-pc/VideoRom.bin" \
  --settings "$settings" --serial "$log" ${boot_options[@]+"${boot_options[@]}"} ||
  status=$?
[ ! -f "$log" ] || tr -d '\r' < "$log"
[ "$status" -eq 0 ] || exit "$status"
[ -z "$plot" ] || Tools/plot-ticks.sh "$log" "$plot"
# The scenarios judge the board check's lines; here its verdict and status are the answer.
[ "$expect" != board-check ] || exec EmulatedPc/board_check_answer.py "$log"

# On a CPU without TSC-deadline mode a build that ticks in that mode alone must decline: one with
# VESK_TIMER_MODE=tsc-deadline (the default; a settings file without the line is an earlier
# build's). A build with auto or one-shot ticks there in one-shot mode. Any other run must give
# ticks, or halt when a timer was there first or the entry's guard was overwritten.
timer_mode=$(sed -n 's/^VESK_TIMER_MODE=//p' "$settings")
[ "$expect" = timer ] && [ "${timer_mode:-tsc-deadline}" = tsc-deadline ] &&
  grep -q '^\[pc\] cpu-tsc-deadline=0' "$log" && expect=unsupported
# A build that chooses its timer mode is judged in the mode it took, which its LVT timer shows: the
# scenarios are what hold each processor to the mode it must take.
mode_options=()
[ "${timer_mode:-tsc-deadline}" = tsc-deadline ] || mode_options=(--timer-mode any)
echo "== Judging the log (expecting: $expect, $apic)"
EmulatedPc/judge_serial_log.py --expect "$expect" --apic "$apic" "${mode_options[@]}" --settings "$settings" \
  --dispatch-pass "$dispatch_pass" --map "$build/image/VeskLapicTimerDxe.map" "$log"
