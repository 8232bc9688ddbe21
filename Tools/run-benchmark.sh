#!/usr/bin/env bash
# Times the format engine against glibc snprintf and stb_sprintf and prints ns per message, our
# ratio to each peer per message kind, and the geometric means.
# Usage: Tools/run-benchmark.sh [extra Google Benchmark flags, --benchmark_...]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
for argument in "$@"; do
  case "$argument" in
    -h | --help) usage; exit 0 ;;
    --benchmark_*) ;;
    *) { echo "run-benchmark.sh: '$argument' is not a Google Benchmark flag (--benchmark_...); usage:"
         usage; } >&2; exit 2 ;;
  esac
done

Tools/install-prerequisites.sh libbenchmark-dev libstb-dev
cmake -S . -B build/benchmark -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
  -DVESK_BENCHMARKS=ON -DVESK_BUILD_IMAGE=OFF >/dev/null
cmake --build build/benchmark --target FormatBenchmark
build/benchmark/FormatBenchmark --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out=build/benchmark/results.json --benchmark_out_format=json "$@" >/dev/null
python3 Tools/benchmark_table.py build/benchmark/results.json
