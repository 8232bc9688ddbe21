#!/usr/bin/env bash
# Builds the driver image and the emulated PC's ROMs in a build folder of the project (configured
# here if it is not yet), and nothing else: no host tests.
#
#   build-roms.sh BUILD_DIR [-DVESK_...=value ...]
#
# The ROM carries BUILD_DIR/image/VeskLapicTimerDxe.efi, the very image the project ships, and
# follows the settings recorded beside it; the ROMs land in BUILD_DIR/emulated-pc/. Platform
# settings given (-DVESK_TIMER_VECTOR=0x41 or -D VESK_TIMER_VECTOR=0x41 ...) configure the build
# folder with them; a folder made here for a configure that is refused is removed again. Prints one
# line naming what it built and where.
set -euo pipefail
USAGE="usage: build-roms.sh BUILD_DIR [-DVESK_...=value ...]"
refuse() { echo "build-roms.sh: $1" >&2; exit 2; }
[[ $# -ge 1 && -n "$1" && "$1" != -* ]] || refuse "$USAGE"
BUILD_DIR=$1
shift
ROOT=$(cd "$(dirname "$0")/.." && pwd)
settings=()
while [ $# -gt 0 ]; do
  case "$1" in
    -D) [ $# -ge 2 ] || refuse "-D needs a value (VESK_...=value)"; settings+=("-D$2"); shift 2 ;;
    -D?*) settings+=("$1"); shift ;;
    *) refuse "'$1' is not a setting; $USAGE" ;;
  esac
done

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] || [ ${#settings[@]} -gt 0 ]; then
  made_here=
  [ -e "$BUILD_DIR" ] || made_here=1
  if ! cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    ${settings[@]+"${settings[@]}"} >/dev/null; then
    [ -z "$made_here" ] || rm -rf "$BUILD_DIR"
    echo "build-roms.sh: $BUILD_DIR was not configured (cmake said why, above)" >&2
    exit 1
  fi
fi
cmake --build "$BUILD_DIR" --target EmulatedPcFirmware >"$BUILD_DIR/emulated-pc-build.log" 2>&1 || {
  tail -n 40 "$BUILD_DIR/emulated-pc-build.log" >&2
  echo "build-roms.sh: the build failed (full log: $BUILD_DIR/emulated-pc-build.log)" >&2
  exit 1
}
echo "Emulated PC ROM: $BUILD_DIR/emulated-pc/EmulatedPcRom.bin (VideoRom.bin beside it)," \
  "carrying $BUILD_DIR/image/VeskLapicTimerDxe.fv and $BUILD_DIR/image/VeskBoardCheck.efi"
