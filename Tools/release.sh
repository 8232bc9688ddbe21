#!/usr/bin/env bash
# Builds the driver image from scratch and writes what a platform engineer takes away into one
# folder: the image, its dependency expression, its firmware file and a firmware volume holding
# it, its linker map, its debug information, the platform settings it was built with, the board
# check application and their SHA-256 sums. Prints the sums. The build is reproducible: the same sources and settings give the
# same bytes in any folder, at any time.
#
#   Tools/release.sh [--out DIR] [-DVESK_SETTING=value ...]     (default: build/release)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGE_NAME=VeskLapicTimerDxe

out=$ROOT/build/release
settings=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?}; shift 2 ;;
    -DVESK_*=*) settings+=("$1"); shift ;;
    *) sed -n '7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done

"$ROOT/Tools/install-prerequisites.sh"
# A build folder of its own, made afresh, so that nothing of an earlier build can leak in.
build=$ROOT/build/release-image
rm -rf "$build"
cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/FirmwareImageToolchain.cmake" "${settings[@]}" >/dev/null
cmake --build "$build" >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log" >&2; exit 1; }

mkdir -p "$out"
files=("$IMAGE_NAME.efi" "$IMAGE_NAME.depex" "$IMAGE_NAME.ffs" "$IMAGE_NAME.fv" "$IMAGE_NAME.map"
       "$IMAGE_NAME.debug" "$IMAGE_NAME.settings" VeskBoardCheck.efi)
for file in "${files[@]}"; do
  cp "$build/$file" "$out/$file"
done
(cd "$out" && sha256sum "${files[@]}" > SHA256SUMS)
echo "Release in $out:"
sed 's/^/  /' "$out/SHA256SUMS"
