#!/usr/bin/env bash
# Builds everything and runs every test; Tools/run_tests.py names the stages and reports them.
#
#   Tools/run-tests.sh [-DVESK_SETTING=value ...]
#
# Platform settings, as Tools/release.sh takes them (-D NAME=value too), are those every build and
# stage is tested with (the defaults for those not given). VESK_FUZZ_SECONDS sets the fuzzing time (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."
settings=()
while [ $# -gt 0 ]; do
  setting=$1
  if [ "$1" = -D ]; then # -D NAME=value, as CMake takes it
    [ $# -ge 2 ] || { echo "run-tests.sh: -D needs a value (VESK_SETTING=value)" >&2; exit 2; }
    setting=-D$2
    shift
  fi
  shift
  case "$setting" in
    -DVESK_*=*) settings+=("$setting") ;;
    *)
      echo "run-tests.sh: '$setting' is not a platform setting of the form -DVESK_NAME=value" >&2
      sed -n '4p' "$0" | sed 's/^# */usage: /' >&2
      exit 2
      ;;
  esac
done
# Platform settings only, checked as the build checks them: the build's own switches
# (VESK_SANITIZE, VESK_BUILD_IMAGE, ...) are set by the stages themselves.
command -v python3 >/dev/null || Tools/install-prerequisites.sh
refusals=$(python3 cmake/platform_settings.py ${settings[@]+"${settings[@]#-D}"} 2>&1 >/dev/null) ||
  { sed 's/^/run-tests.sh: /' <<<"$refusals" >&2; exit 2; }
Tools/install-prerequisites.sh
exec python3 Tools/run_tests.py ${settings[@]+"${settings[@]}"}
