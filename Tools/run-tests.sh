#!/usr/bin/env bash
# Builds everything and runs every test; Tools/run_tests.py names the stages and reports them.
#
#   Tools/run-tests.sh [-DVESK_SETTING=value ...]
#
# Platform settings, as Tools/release.sh takes them, are those every build and stage is tested
# with (the defaults for those not given). VESK_FUZZ_SECONDS sets the fuzzing time (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."
for argument in "$@"; do
  case "$argument" in
    -DVESK_*=*) ;;
    *)
      echo "run-tests.sh: '$argument' is not a platform setting of the form -DVESK_NAME=value" >&2
      sed -n '4p' "$0" | sed 's/^# */usage: /' >&2
      exit 2
      ;;
  esac
done
Tools/install-prerequisites.sh
exec python3 Tools/run_tests.py "$@"
