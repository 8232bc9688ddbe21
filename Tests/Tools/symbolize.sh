#!/usr/bin/env bash
# Symbols for what an engineer sees: the emulated PC runs the image with the stack guard of its
# entry overwritten, and Tools/symbolize.sh must turn the places that run reports into the right
# functions and source lines: the stack-fault report's VeskLapicTimerDxe+0xOFFSET (the entry),
# the sampled halt loop as an image offset (HaltUntilReleased), and an absolute return address
# with the load address (the entry again).
#
#   symbolize.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: symbolize.sh BUILD_DIR}" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/serial.log
"$ROOT/EmulatedPc/boot.sh" --rom "$BUILD_DIR/emulated-pc/EmulatedPcRom.bin" \
  --video-rom "$BUILD_DIR/emulated-pc/VideoRom.bin" --serial "$log" --smash-entry-guard --timeout 20
fact() { tr -d '\r' < "$log" | sed -n "s/^\[pc\] $1=//p" | tail -n 1; }
fault=$(tr -d '\r' < "$log" | sed -n 's/^STACK FAULT: Buffer Overflow in function \(VeskLapicTimerDxe+0x[0-9A-F]*\)\.$/\1/p')
load=$(tr -d '\r' < "$log" | sed -n 's/.* loaded at \(0x[0-9A-F]*\) .*/\1/p')
halt=$(fact halt-rip-offset)
caller=$(fact guard-smashed-caller)
if [ -z "$fault" ] || [ -z "$load" ] || [ "$(fact result)" != halted ] || [[ "$caller" != 0x* ]]; then
  echo "FAIL: the run did not report a stack fault and halt:"
  tr -d '\r' < "$log" | tail -n 8
  exit 1
fi

status=0
expect() { # description pattern symbolize-arguments...
  local description=$1 pattern=$2 answer
  shift 2
  answer=$("$ROOT/Tools/symbolize.sh" --debug "$BUILD_DIR/image/VeskLapicTimerDxe.debug" "$@") ||
    true
  printf '%s\n' "$answer"
  if ! grep -qE -- "$pattern" <<<"$answer"; then
    echo "FAIL: $description is not resolved to /$pattern/"
    status=1
  fi
}
halt_lines=$(awk '/^VOID HaltUntilReleased\(\) \{/ {first = NR} first && /^}/ {print first "-" NR; exit}' \
  "$ROOT/HardwareAccess/RealInstructions.cpp")
expect "the stack-fault report's place" \
  "^  LapicTimerDriverEntry at VeskLapicTimerDxe/VeskLapicTimer.cpp:[0-9]+" "$fault"
expect "the halt loop's image offset" \
  "^  HaltUntilReleased\(\) at HardwareAccess/RealInstructions.cpp:($(seq -s '|' "${halt_lines%-*}" "${halt_lines#*-}"))\$" \
  "$halt"
expect "the entry's return address from the firmware, with the load address $load" \
  "LapicTimerDriverEntry at VeskLapicTimerDxe/VeskLapicTimer.cpp:[0-9]+" --load "$load" "$caller"
exit "$status"
