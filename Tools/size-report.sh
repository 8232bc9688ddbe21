#!/usr/bin/env bash
# Reports the firmware image's size on disk, its sections, and its largest stack frames (from the
# compiler's stack-usage output).
set -euo pipefail
cd "$(dirname "$0")/.."

Tools/install-prerequisites.sh
cmake -S . -B build -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build --target FirmwareImage >/dev/null

image=build/image/VeskLapicTimerDxe.efi
echo "Image: $image, $(stat -c %s "$image") bytes on disk"
echo
echo "Sections (virtual size, size on disk, flags):"
llvm-readobj --sections "$image" | awk '
  /Name:/ {name=$2}
  /VirtualSize:/ {vsize=strtonum($2)}
  /RawDataSize:/ {raw=$2}
  /Characteristics \[/ {flags=""}
  /IMAGE_SCN_MEM_(READ|WRITE|EXECUTE)/ {sub("IMAGE_SCN_MEM_", "", $1); flags=flags" "$1}
  /^  }/ {printf "  %-8s %6d %6d %s\n", name, vsize, raw, flags}'
echo
echo "Largest stack frames (bytes, from each function's prologue; return address included):"
python3 Tools/stack_frames.py "$image" build/image/VeskLapicTimerDxe.map "${1:-5}"
