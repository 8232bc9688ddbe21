#!/usr/bin/env bash
# The image is reproducible: a copy of the tree in another folder, built later, in another time
# zone and without debug information, from the platform settings recorded beside the image, gives
# the very bytes of the image under test, of its linker map, of its depex, firmware file and volume,
# of its settings and of the board check application, and neither the build's folders nor its user
# appear in either image.
#   reproducible-image.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
IMAGE=${1:?usage: reproducible-image.sh BUILD_DIR}/image/VeskLapicTimerDxe.efi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/another-checkout
mkdir "$tree"
tar -C "$ROOT" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
export TZ=Pacific/Kiritimati LC_ALL=C
mapfile -t settings < <(sed 's/^/-D/' "${IMAGE%.efi}.settings")
cmake -S "$tree" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_IMAGE_DEBUG_INFO=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/FirmwareImageToolchain.cmake" "${settings[@]}" >/dev/null
cmake --build "$work/build" >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log"; exit 1; }

status=0
for file in VeskLapicTimerDxe.{efi,map,depex,ffs,fv,settings} VeskBoardCheck.efi; do
  cmp "$(dirname "$IMAGE")/$file" "$work/build/$file" || { echo "FAIL: $file built in $tree differs"; status=1; }
done
for trace in "$ROOT" "$work" "$(id -un)"; do
  if grep -qaF -- "$trace" "$IMAGE" "$work/build/VeskLapicTimerDxe.efi" "$(dirname "$IMAGE")/VeskBoardCheck.efi" \
    "$work/build/VeskBoardCheck.efi"; then
    echo "FAIL: '$trace' appears in an image"; status=1
  fi
done
[ "$status" -ne 0 ] || echo "reproducible: $(sha256sum "$IMAGE" | cut -c1-64)"
exit "$status"
