#!/usr/bin/env bash
# Secure Boot signing end to end: a throwaway key (only ever in a temporary folder) signs the
# image and the signature verifies; a copy with one code byte changed does not; the signed image
# boots on the emulated PC from a firmware volume, certificate table and all, and runs as the
# unsigned one does.
#   signed-image.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: signed-image.sh BUILD_DIR}" && pwd)
IMAGE=$BUILD_DIR/image/VeskLapicTimerDxe.efi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -new -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=VeskLapicTimerDxe test signer/" \
  -keyout "$work/signer.key" -out "$work/signer.crt" 2>/dev/null
signed=$work/signed.efi
"$ROOT/Tools/sign-image.sh" --key "$work/signer.key" --cert "$work/signer.crt" --image "$IMAGE" --out "$signed"

# The byte in the middle of the code section, changed.
read -r offset size < <(llvm-readobj --sections "$IMAGE" |
  awk '/Name: .text/ {t = 1} t && /RawDataSize:/ {s = $2} t && /PointerToRawData:/ {print $2, s; exit}')
offset=$((offset + size / 2))
cp "$signed" "$work/tampered.efi"
printf "\\$(printf '%03o' $((($(od -An -tu1 -j "$offset" -N1 "$signed") + 1) & 0xFF)))" |
  dd of="$work/tampered.efi" bs=1 seek="$offset" conv=notrunc status=none
if sbverify --cert "$work/signer.crt" "$work/tampered.efi" >/dev/null 2>&1; then
  echo "FAIL: a copy with the code byte at file offset $offset changed still verifies"; exit 1
fi
echo "a copy with the code byte at file offset $offset changed: verification refused"

# The emulated PC's ROM, carrying the signed image this time, packed into a volume of its own.
file_guid=$(sed -n 's/^VESK_DRIVER_FILE_GUID=//p' "$BUILD_DIR/image/VeskLapicTimerDxe.settings")
"$BUILD_DIR/image/FirmwareFilePackager/FirmwareFilePackager" "$signed" "$file_guid" VeskLapicTimerDxe \
  "$work/signed"
cmake -S "$ROOT/EmulatedPc/Firmware" -B "$work/rom" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/EmulatedPc/Firmware/Toolchain.cmake" -DDRIVER_VOLUME="$work/signed.fv" \
  -DDRIVER_SETTINGS="$BUILD_DIR/image/VeskLapicTimerDxe.settings" \
  -DAPPLICATION_IMAGE="$BUILD_DIR/image/VeskBoardCheck.efi" >/dev/null
cmake --build "$work/rom" >"$work/rom.log" 2>&1 || { tail -n 30 "$work/rom.log"; exit 1; }
log=$work/serial.log
"$ROOT/EmulatedPc/boot.py" --rom "$work/rom/EmulatedPcRom.bin" --video-rom "$work/rom/VideoRom.bin" --serial "$log" \
  --settings "$BUILD_DIR/image/VeskLapicTimerDxe.settings"
certificates=$(tr -d '\r' < "$log" | sed -n 's/^\[pc\] image-certificate-bytes=//p')
if ! grep -qa "driver: $(stat -c %s "$signed") bytes in ROM" "$log" || [ "${certificates:-0}" -eq 0 ]; then
  echo "FAIL: the emulated PC did not load the signed image:"; grep -a "driver:" "$log"; exit 1
fi
# A build that chooses its timer mode ticks in the mode it took on the default CPU.
mode_options=()
grep -qx 'VESK_TIMER_MODE=tsc-deadline' "$BUILD_DIR/image/VeskLapicTimerDxe.settings" ||
  mode_options=(--timer-mode any)
"$ROOT/EmulatedPc/judge_serial_log.py" --expect timer --apic xapic "${mode_options[@]}" \
  --settings "$BUILD_DIR/image/VeskLapicTimerDxe.settings" "$log"
