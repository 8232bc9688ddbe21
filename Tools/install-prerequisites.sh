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
: >"$log"
echo "Installing Debian packages: ${missing[*]} (log: ${log#"$PWD"/})"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Another install (a second command, a person's apt-get, unattended upgrades) holds apt's locks
# while it runs: wait for it, but not for ever. apt-get install waits for the package database's
# lock by itself; apt-get update gives up on the package lists' lock at once, so it is tried again.
LOCK_WAIT_SECONDS=600
LOCK_RETRY_SECONDS=5
update_package_lists() {
  local waited=0 attempt
  attempt=$(mktemp)
  until "${sudo_cmd[@]}" apt-get update -qq >"$attempt" 2>&1 </dev/null; do
    cat "$attempt" >>"$log"
    if ! grep -q "Could not get lock" "$attempt" || [ "$waited" -ge "$LOCK_WAIT_SECONDS" ]; then
      grep -q "Could not get lock" "$attempt" &&
        echo "install-prerequisites.sh: another install still holds apt's lock after $waited s" >&2
      rm -f "$attempt"
      return 1
    fi
    [ "$waited" -gt 0 ] || echo "Another package install holds apt's lock; waiting for it, up to $LOCK_WAIT_SECONDS s"
    sleep "$LOCK_RETRY_SECONDS"
    waited=$((waited + LOCK_RETRY_SECONDS))
  done
  cat "$attempt" >>"$log"
  rm -f "$attempt"
}

if ! { update_package_lists &&
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout="$LOCK_WAIT_SECONDS" "${missing[@]}" >>"$log" 2>&1 </dev/null
}; then
  tail -n 20 "$log" >&2
  echo "install-prerequisites.sh: apt-get failed; its whole output is in $log" >&2
  exit 1
fi
