#!/usr/bin/env bash
# Builds the firmware image and the host tests and runs every test: the host tests, the image
# booted on an emulated PC, the host tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded run of the format engine's fuzzer.
# VESK_FUZZ_SECONDS sets the fuzzing time (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."

Tools/install-prerequisites.sh

jobs=$(nproc)

echo "== Host tests and firmware image"
cmake -S . -B build -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== The image booted on an emulated PC: the scenarios of EmulatedPc/run-scenarios.sh"
EmulatedPc/run-scenarios.sh

echo "== Host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DVESK_SANITIZE=ON -DVESK_BUILD_IMAGE=OFF >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== Fuzzing the format engine for ${VESK_FUZZ_SECONDS:=45} s"
mkdir -p build/sanitize/fuzz-corpus
if ! build/sanitize/FormatTextListFuzzer -max_total_time="$VESK_FUZZ_SECONDS" -print_final_stats=1 \
  build/sanitize/fuzz-corpus Fuzz/seeds >build/sanitize/fuzz.log 2>&1; then
  tail -n 60 build/sanitize/fuzz.log
  echo "The format engine fuzzer found a fault; the input is in the current folder (crash-*)."
  exit 1
fi
grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' build/sanitize/fuzz.log
