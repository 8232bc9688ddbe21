#!/usr/bin/env bash
# Signs the driver image for UEFI Secure Boot (an Authenticode signature in the image's
# certificate table) with sbsign, then verifies the signed file against the certificate.
#
#   Tools/sign-image.sh --key KEY --cert CERT [--image FILE] [--out FILE]
#
#   --key KEY     the signer's private key (PEM)
#   --cert CERT   the signer's certificate (PEM); the platform's db must trust it or its issuer
#   --image FILE  the image to sign (default: the build's, build/image/VeskLapicTimerDxe.efi, or
#                 else the release's, build/release/VeskLapicTimerDxe.efi, made if neither exists)
#   --out FILE    the signed image (default: FILE with .signed.efi in place of .efi)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

usage() { sed -n '5,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

key= cert= out= image=
while [ $# -gt 0 ]; do
  case "$1" in
    --key) key=${2:?}; shift 2 ;;
    --cert) cert=${2:?}; shift 2 ;;
    --image) image=${2:?}; shift 2 ;;
    --out) out=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
[ -n "$key" ] && [ -n "$cert" ] || usage
if [ -z "$image" ]; then
  # Tools/release.sh builds in a folder of its own, so after it alone build/image is not there.
  for image in "$ROOT"/build/{image,release}/VeskLapicTimerDxe.efi; do
    [ -f "$image" ] && break
  done
  [ -f "$image" ] || "$ROOT/Tools/release.sh" >&2
fi
for file in "$key" "$cert" "$image"; do
  [ -f "$file" ] || { echo "sign-image.sh: no such file: $file" >&2; exit 2; }
done
[ -n "$out" ] || out=${image%.efi}.signed.efi

"$ROOT/Tools/install-prerequisites.sh" sbsigntool
sbsign --key "$key" --cert "$cert" --output "$out" "$image"
sbverify --cert "$cert" "$out"
echo "Signed image: $out ($(stat -c %s "$out") bytes), from $image ($(stat -c %s "$image") bytes)"
