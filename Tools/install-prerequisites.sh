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

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
