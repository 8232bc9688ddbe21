#!/usr/bin/env bash
# Builds the driver image and the emulated PC's ROMs in a build folder of the project (configured
# here if it is not yet), and nothing else: no host tests.
#
#   build-roms.sh BUILD_DIR [-DVESK_...=value ...]
#
# The ROM carries BUILD_DIR/image/VeskLapicTimerDxe.efi, the very image the project ships, and
# follows the settings recorded beside it; the ROMs land in BUILD_DIR/emulated-pc/. Platform
# settings given (-DVESK_TIMER_VECTOR=0x41 ...) configure the build folder with them.
set -euo pipefail
BUILD_DIR=${1:?usage: build-roms.sh BUILD_DIR [-DVESK_...=value ...]}
shift
ROOT=$(cd "$(dirname "$0")/.." && pwd)

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] || [ $# -gt 0 ]; then
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ "$@" >/dev/null
fi
cmake --build "$BUILD_DIR" --target EmulatedPcFirmware >"$BUILD_DIR/emulated-pc-build.log" 2>&1 || {
  tail -n 40 "$BUILD_DIR/emulated-pc-build.log" >&2
  echo "build-roms.sh: the build failed (full log: $BUILD_DIR/emulated-pc-build.log)" >&2
  exit 1
}

