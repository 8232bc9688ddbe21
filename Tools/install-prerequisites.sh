#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the emulated PC need, if any is missing.
# Usage: Tools/install-prerequisites.sh [extra-package ...]
set -euo pipefail

packages=(
  clang lld llvm cmake ninja-build   # both builds, and the image tools (llvm-objdump, llvm-readobj,
                                     # llvm-symbolizer)
  python3                            # the reports and the symbolizer over the image
  libgtest-dev                       # host tests
  libclang-rt-14-dev                 # AddressSanitizer, UndefinedBehaviorSanitizer, libFuzzer
  bochs bochs-sdl                    # the emulated PC that boots the image
  sbsigntool openssl                 # Secure Boot signing and its test key
  gnuplot-nox                        # the picture of the ticks
  uefitool-cli                       # UEFIExtract, an outside reader of the driver's volume
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

[ ${#missing[@]} -gt 0 ] || exit 0
# apt's own output goes to a log; a person sees one line, or the end of the log when it fails.
log=$(cd "$(dirname "$0")/.." && pwd)/build/logs/install-prerequisites.log
mkdir -p "$(dirname "$log")"
echo "Installing Debian packages: ${missing[*]} (log: ${log#"$PWD"/})"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if ! { "${sudo_cmd[@]}" apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
} >"$log" 2>&1 </dev/null; then
  tail -n 20 "$log" >&2
  echo "install-prerequisites.sh: apt-get failed; its whole output is in $log" >&2
  exit 1
fi
