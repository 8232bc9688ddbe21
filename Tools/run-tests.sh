#!/usr/bin/env bash
# Builds everything and runs every test; Tools/run_tests.py names the stages and reports them.
# VESK_FUZZ_SECONDS sets the fuzzing time (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."
Tools/install-prerequisites.sh
exec python3 Tools/run_tests.py
