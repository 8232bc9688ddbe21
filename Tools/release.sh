#!/usr/bin/env bash
# Builds the driver image from scratch and writes what a platform engineer takes away into one
# folder: the image, its dependency expression, its firmware file and a firmware volume holding
# it, its linker map, its debug information, the platform settings it was built with, the board
# check application and their SHA-256 sums. Prints the settings and the sums. The build is
# reproducible: the same sources and settings give the same bytes in any folder, at any time.
#
#   Tools/release.sh [--out DIR] [-DVESK_SETTING=value ...]
#
#   --out DIR              the release folder (default build/release): a new or empty one, or
#                          one holding an earlier release only, whose files are all replaced
#   -DVESK_SETTING=value   a platform setting (README, "Platform settings"); -D NAME=value too.
#                          Settings and folder are checked before anything is built.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGE_NAME=VeskLapicTimerDxe

usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
refuse() { echo "release.sh: $1" >&2; exit 2; }
# A command that checks something: what it refuses becomes release.sh's refusal.
checked() {
  local said
  said=$("$@" 2>&1 >/dev/null) || { sed 's/^/release.sh: /' <<<"$said" >&2; exit 2; }
}

out=$ROOT/build/release
settings=()
while [ $# -gt 0 ]; do
  # An option's value may not be missing, nor be the next option.
  [[ "$1" != --out && "$1" != -D ]] || [[ $# -ge 2 && -n "$2" && "$2" != -* ]] ||
    refuse "$1 needs a value ($([ "$1" = --out ] && echo DIR || echo VESK_SETTING=value))"
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --out) out=$2; shift 2 ;;
    -D) settings+=("$2"); shift 2 ;;
    -D?*) settings+=("${1#-D}"); shift ;;
    *) { echo "release.sh: unknown argument '$1'"; usage; } >&2; exit 2 ;;
  esac
done

command -v python3 >/dev/null || "$ROOT/Tools/install-prerequisites.sh"
# The settings pass the configure's own check, so nothing is built with one that would not.
checked python3 "$ROOT/cmake/platform_settings.py" ${settings[@]+"${settings[@]}"}
# A build folder of its own, made afresh, so that nothing of an earlier build can leak in.
build=$(realpath -m "$ROOT/build/release-image")
case "$(realpath -m "$out")/" in
  "$build"/*) refuse "--out $out lies in $build, where the release is built afresh" ;;
esac
checked python3 "$ROOT/Tools/release_folder.py" check "$out"

"$ROOT/Tools/install-prerequisites.sh"
rm -rf "$build"
cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/FirmwareImageToolchain.cmake" \
  ${settings[@]+"${settings[@]/#/-D}"} >/dev/null
cmake --build "$build" >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log" >&2; exit 1; }

# Every file of an earlier release goes, so that the folder holds this release alone.
checked python3 "$ROOT/Tools/release_folder.py" clear "$out"
mkdir -p "$out"
files=("$IMAGE_NAME.efi" "$IMAGE_NAME.depex" "$IMAGE_NAME.ffs" "$IMAGE_NAME.fv" "$IMAGE_NAME.map"
       "$IMAGE_NAME.debug" "$IMAGE_NAME.settings" VeskBoardCheck.efi)
for file in "${files[@]}"; do
  cp "$build/$file" "$out/$file"
done
(cd "$out" && sha256sum "${files[@]}" > SHA256SUMS)
echo "Release in $out, built with these platform settings ($IMAGE_NAME.settings):"
sed 's/^/  /' "$out/$IMAGE_NAME.settings"
echo "SHA-256 sums (SHA256SUMS):"
sed 's/^/  /' "$out/SHA256SUMS"
