#!/usr/bin/env bash
# Reports the firmware image's size on disk, its sections, and its largest stack frames (read from
# each function's prologue in the image), then the board check application's size and sections.
#
#   Tools/size-report.sh [FRAMES]      FRAMES: how many of the largest frames to list (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
frames=5
case "$#:${1:-}" in
  0:) ;;
  1:-h | 1:--help) usage; exit 0 ;;
  1:[1-9] | 1:[1-9][0-9] | 1:[1-9][0-9][0-9]) frames=$1 ;;
  1:*)
    { echo "size-report.sh: '$1' is not a number of frames from 1 to 999; usage:"; usage; } >&2
    exit 2 ;;
  *) { echo "size-report.sh: one argument at most; usage:"; usage; } >&2; exit 2 ;;
esac

Tools/install-prerequisites.sh
cmake -S . -B build -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build --target FirmwareImage >/dev/null

image=build/image/VeskLapicTimerDxe.efi
echo "Image: $image, $(stat -c %s "$image") bytes on disk"
echo
echo "Sections (virtual size, size on disk, flags):"
python3 Tools/image_sections.py "$image"
echo
echo "Largest stack frames (bytes, from each function's prologue; return address included):"
python3 Tools/stack_frames.py "$image" build/image/VeskLapicTimerDxe.map "$frames"
echo
check=build/image/VeskBoardCheck.efi
echo "Board check: $check, $(stat -c %s "$check") bytes on disk (at most 20480)"
python3 Tools/image_sections.py "$check"
