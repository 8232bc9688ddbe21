#!/usr/bin/env bash
# Reports the firmware image's size on disk, its sections, and its largest stack frames (read from
# each function's prologue in the image), then the board check application's size and sections.
# Usage: Tools/size-report.sh [how many frames]
set -euo pipefail
cd "$(dirname "$0")/.."

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
python3 Tools/stack_frames.py "$image" build/image/VeskLapicTimerDxe.map "${1:-5}"
echo
check=build/image/VeskBoardCheck.efi
echo "Board check: $check, $(stat -c %s "$check") bytes on disk (at most 16384)"
python3 Tools/image_sections.py "$check"
