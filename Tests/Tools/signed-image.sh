#!/usr/bin/env bash
# Secure Boot signing, end to end: a throwaway key signs the image, the signature verifies, a copy
# with one byte of code changed does not, and the signed image boots on the emulated PC and runs
# as the unsigned one does. The key lives only in a temporary folder.
#
#   signed-image.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: signed-image.sh BUILD_DIR}" && pwd)
IMAGE=$BUILD_DIR/image/VeskLapicTimerDxe.efi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -new -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=VeskLapicTimerDxe test signer/" \
  -keyout "$work/signer.key" -out "$work/signer.crt" 2>/dev/null
signed=$work/VeskLapicTimerDxe.signed.efi
"$ROOT/Tools/sign-image.sh" --key "$work/signer.key" --cert "$work/signer.crt" --image "$IMAGE" \
  --out "$signed"

# One byte changed in the middle of the code section must break the signature.
tampered=$work/tampered.efi
cp "$signed" "$tampered"
read -r text_offset text_size < <(llvm-readobj --sections "$IMAGE" |
  awk '/Name: .text/ {t = 1} t && /RawDataSize:/ {s = $2} t && /PointerToRawData:/ {print $2, s; exit}')
byte_offset=$((text_offset + text_size / 2))
original=$(od -An -tu1 -j "$byte_offset" -N1 "$tampered" | tr -d ' ')
printf "\\$(printf '%03o' $(((original + 1) & 0xFF)))" |
  dd of="$tampered" bs=1 seek="$byte_offset" conv=notrunc status=none
if sbverify --cert "$work/signer.crt" "$tampered" >/dev/null 2>&1; then
  echo "FAIL: a copy with the code byte at file offset $byte_offset changed still verifies"
  exit 1
fi
echo "tampered copy (code byte at file offset $byte_offset changed): verification refused"

# The emulated PC's ROM, this time carrying the signed image.
cmake -S "$ROOT/EmulatedPc/Firmware" -B "$work/rom" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/EmulatedPc/Firmware/Toolchain.cmake" -DDRIVER_IMAGE="$signed" >/dev/null
cmake --build "$work/rom" >"$work/rom.log" 2>&1 || { tail -n 30 "$work/rom.log"; exit 1; }
log=$work/serial.log
"$ROOT/EmulatedPc/boot.sh" --rom "$work/rom/EmulatedPcRom.bin" --video-rom "$work/rom/VideoRom.bin" \
  --serial "$log"
# The loader must have taken the signed file, certificate table and all.
signed_bytes=$(stat -c %s "$signed")
certificates=$(tr -d '\r' < "$log" | sed -n 's/^\[pc\] image-certificate-bytes=//p')
if ! grep -qa "driver: $signed_bytes bytes in ROM" "$log" || [ "${certificates:-0}" -eq 0 ]; then
  echo "FAIL: the emulated PC did not load the $signed_bytes-byte signed image:"
  grep -a "driver:\|certificate" "$log" || true
  exit 1
fi
echo "the emulated PC loaded the signed image ($signed_bytes bytes, $certificates of certificates)"
"$ROOT/EmulatedPc/judge-serial-log.sh" --expect timer --apic xapic "$log"
