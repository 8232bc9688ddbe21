#!/usr/bin/env bash
# Boots the shipped driver image on the emulated PC in each scenario and judges each serial log:
#   (a) TSC-deadline CPU, local APIC in xAPIC mode
#   (b) the same CPU with the APIC switched to x2APIC before the driver starts
#   (c) a 64-bit CPU without TSC-deadline: "not supported", EFI_DEVICE_ERROR, no timer
#
#   run-scenarios.sh [--build-dir DIR]     (default: build)
#
# Serial logs are kept in DIR/emulated-pc/scenarios/. Exits non-zero if any scenario fails.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
BUILD_DIR=$ROOT/build
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) BUILD_DIR=$(readlink -f "$2"); shift 2 ;;
    *) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done

TSC_DEADLINE_CPU=corei7_skylake_x    # reports tsc_deadline, xapic and x2apic
NO_TSC_DEADLINE_CPU=core2_penryn_t9600 # 64-bit, local APIC, no TSC-deadline

"$HERE/build-roms.sh" "$BUILD_DIR" || exit 1
ROMS=(--rom "$BUILD_DIR/emulated-pc/EmulatedPcRom.bin" --video-rom "$BUILD_DIR/emulated-pc/VideoRom.bin")
LOGS=$BUILD_DIR/emulated-pc/scenarios
mkdir -p "$LOGS"

LOG_TAIL_LINES=12 # shown for a failed scenario, so that a CI log says what went wrong
passed=0
failed=0
scenario() { # name description judge-options -- boot-options
  local name=$1 description=$2; shift 2
  local judge=() boot=()
  while [ "$1" != -- ]; do judge+=("$1"); shift; done
  shift
  boot=("$@")
  echo "== Emulated PC scenario ($name): $description"
  local log=$LOGS/$name.log
  if "$HERE/boot.sh" "${ROMS[@]}" --serial "$log" "${boot[@]}" &&
    "$HERE/judge-serial-log.sh" "${judge[@]}" "$log"; then
    passed=$((passed + 1))
  else
    echo "  serial log: $log; its last lines:"
    tail -n "$LOG_TAIL_LINES" "$log" | tr -d '\r' | sed 's/^/    | /'
    failed=$((failed + 1))
  fi
}

scenario a "TSC-deadline CPU ($TSC_DEADLINE_CPU), xAPIC" \
  --expect timer --apic xapic -- --cpu "$TSC_DEADLINE_CPU"
scenario b "TSC-deadline CPU ($TSC_DEADLINE_CPU), x2APIC" \
  --expect timer --apic x2apic -- --cpu "$TSC_DEADLINE_CPU" --x2apic
scenario c "CPU without TSC-deadline ($NO_TSC_DEADLINE_CPU)" \
  --expect unsupported --apic xapic -- --cpu "$NO_TSC_DEADLINE_CPU"

echo "emulated-pc: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
