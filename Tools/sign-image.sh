#!/usr/bin/env bash
# Signs the driver image for UEFI Secure Boot (an Authenticode signature in the image's
# certificate table) with sbsign, then verifies the signed file against the certificate.
#
#   Tools/sign-image.sh --key KEY --cert CERT [--image FILE] [--out FILE]
#
#   --key KEY     the signer's private key (PEM)
#   --cert CERT   the signer's certificate (PEM); the platform's db must trust it or its issuer
#   --image FILE  the image to sign; without it, the build's (build/image/VeskLapicTimerDxe.efi)
#                 or the release's (build/release/VeskLapicTimerDxe.efi), whichever is there: when
#                 both are and differ, name one; when neither is, a release is made first
#   --out FILE    the signed image (default: the image's name with .signed.efi in place of .efi)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGE_FILE=VeskLapicTimerDxe.efi

help() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
refuse() { echo "sign-image.sh: $1" >&2; exit 2; }

key= cert= out= image=
while [ $# -gt 0 ]; do
  case "$1" in
    --key) value=KEY ;; --cert) value=CERT ;; --image | --out) value=FILE ;; *) value= ;;
  esac
  # An option's value may not be missing, nor be the next option.
  [ -z "$value" ] || [[ $# -ge 2 && -n "$2" && "$2" != -* ]] || refuse "$1 needs a value ($value)"
  case "$1" in
    -h | --help) help; exit 0 ;;
    --key) key=$2 ;;
    --cert) cert=$2 ;;
    --image) image=$2 ;;
    --out) out=$2 ;;
    *) { echo "sign-image.sh: unknown argument '$1'"; help; } >&2; exit 2 ;;
  esac
  shift 2
done
[ -n "$key" ] || refuse "--key KEY is needed (sign-image.sh --help)"
[ -n "$cert" ] || refuse "--cert CERT is needed (sign-image.sh --help)"
for file in "$key" "$cert" ${image:+"$image"}; do
  [ -f "$file" ] || refuse "no such file: $file"
done

if [ -z "$image" ]; then
  # Tools/release.sh builds in a folder of its own: either image may be there without the other,
  # and after a release with other settings the two differ. Say which one is signed, and why.
  built=$ROOT/build/image/$IMAGE_FILE
  released=$ROOT/build/release/$IMAGE_FILE
  if [ -f "$built" ] && [ -f "$released" ]; then
    if ! cmp -s "$built" "$released"; then
      why="from other sources"
      cmp -s "${built%.efi}.settings" "${released%.efi}.settings" || why="with other settings"
      both="the build's $built and the release's $released"
      refuse "$both differ (built $why): name the one to sign with --image"
    fi
    image=$built
    echo "Signing the build's image, $built (the release's is the same bytes)"
  elif [ -f "$built" ]; then
    image=$built
    echo "Signing the build's image, $built (there is no release in build/release)"
  elif [ -f "$released" ]; then
    image=$released
    echo "Signing the release's image, $released (there is no build image in build/image)"
  else
    echo "No image in build/image or build/release: making a release first"
    "$ROOT/Tools/release.sh" >&2
    image=$released
  fi
fi
[ -n "$out" ] || out=${image%.efi}.signed.efi
"$ROOT/Tools/install-prerequisites.sh" sbsigntool
sbsign --key "$key" --cert "$cert" --output "$out" "$image"
sbverify --cert "$cert" "$out"
echo "Signed image: $out ($(stat -c %s "$out") bytes), from $image ($(stat -c %s "$image") bytes)"
