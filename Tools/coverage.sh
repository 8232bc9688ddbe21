#!/usr/bin/env bash
# Which driver lines the host tests reach: builds the host tests with the compiler's source-based
# coverage in build/coverage, runs them, prints the coverage of the driver's files (lines,
# functions, branches) and writes the line-by-line report to build/coverage/index.html.
set -euo pipefail
[ $# -eq 0 ] || { echo "coverage.sh: takes no arguments (usage: Tools/coverage.sh)" >&2; exit 2; }
cd "$(dirname "$0")/.."
Tools/install-prerequisites.sh

build=build/coverage
driver_sources=(VeskLapicTimerDxe Library)
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DVESK_COVERAGE=ON -DVESK_BUILD_IMAGE=OFF >/dev/null
cmake --build "$build" >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log" >&2; exit 1; }

# Every test runs in a process of its own, and each writes its own profile.
rm -rf "$build/profiles"
LLVM_PROFILE_FILE="$PWD/$build/profiles/%p.profraw" ctest --test-dir "$build" -j "$(nproc)" \
  >"$build/ctest.log" 2>&1 || { tail -n 40 "$build/ctest.log" >&2; echo "coverage.sh: a test failed" >&2; exit 1; }
llvm-profdata merge -sparse "$build"/profiles/*.profraw -o "$build/tests.profdata"

measure=("$build/DriverTests" -instr-profile="$build/tests.profdata")
llvm-cov report "${measure[@]}" --show-region-summary=false "${driver_sources[@]}"
llvm-cov show "${measure[@]}" -format=html -show-branches=count -output-dir="$build" \
  "${driver_sources[@]}" >/dev/null
echo "Line by line: $build/index.html"
