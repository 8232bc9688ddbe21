#!/usr/bin/env bash
# Symbols for what an engineer sees. The emulated PC runs the image with its entry's stack guard
# overwritten; Tools/symbolize.sh must name the functions behind the places that run reports: the
# stack fault's VeskLapicTimerDxe+0xOFFSET, the halt loop's image offset, and the entry's return
# address from a firmware service, absolute, with the load address.
#   symbolize.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: symbolize.sh BUILD_DIR}" && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$ROOT/EmulatedPc/boot.py" --rom "$BUILD_DIR/emulated-pc/EmulatedPcRom.bin" \
  --video-rom "$BUILD_DIR/emulated-pc/VideoRom.bin" --serial "$log" \
  --settings "$BUILD_DIR/image/VeskLapicTimerDxe.settings" --smash-entry-guard --timeout 20
report() { tr -d '\r' < "$log" | sed -n "$1"; }
fault=$(report 's/^STACK FAULT: Buffer Overflow in function \(VeskLapicTimerDxe+0x[0-9A-F]*\)\.$/\1/p')
load=$(report 's/.* loaded at \(0x[0-9A-F]*\) .*/\1/p')
halt=$(report 's/^\[pc\] halt-rip-offset=//p')
caller=$(report 's/^\[pc\] guard-smashed-caller=//p')
if [ -z "$fault" ] || [ -z "$load" ] || [ -z "$halt" ] || [ -z "$caller" ]; then
  echo "FAIL: the run reported no stack fault and halt:"; report '$p'; exit 1
fi

status=0
symbolize=("$ROOT/Tools/symbolize.sh" --debug "$BUILD_DIR/image/VeskLapicTimerDxe.debug")
expect() { # function file symbolize-arguments...
  local answer
  answer=$("${symbolize[@]}" "${@:3}") || true
  printf '%s\n' "$answer"
  grep -qE "^  (inlined into )?$1 at $2:[0-9]+" <<<"$answer" || { echo "FAIL: ${*:3} is not in $1"; status=1; }
}
expect LapicTimerDriverEntry VeskLapicTimerDxe/VeskLapicTimer.cpp "$fault"
expect 'HaltUntilReleased\(\)' HardwareAccess/RealInstructions.cpp "$halt"
expect LapicTimerDriverEntry VeskLapicTimerDxe/VeskLapicTimer.cpp --load "$load" "$caller"

# Right after Tools/release.sh in a fresh clone only the release has a debug file: without --debug
# the tool reads it.
clone=$(mktemp -d)
trap 'rm -f "$log"; rm -rf "$clone"' EXIT
mkdir -p "$clone/Tools" "$clone/build/release"
cp "$ROOT"/Tools/{symbolize.sh,symbolize.py,image_sections.py} "$clone/Tools/"
cp "$BUILD_DIR/image/VeskLapicTimerDxe.debug" "$clone/build/release/"
symbolize=("$clone/Tools/symbolize.sh")
expect LapicTimerDriverEntry VeskLapicTimerDxe/VeskLapicTimer.cpp "$fault"
exit "$status"
