#!/bin/sh
# Builds the benchmarks (preset "bench"), writes the payloads into the build
# tree, runs Corvane and Python on them and prints their tables, then the
# start-up table of bench/startup.sh, the batch table of bench/batch.sh and the
# https table of bench/https.sh.
# Fails when a target is missed.
#   bench/run.sh [Google Benchmark flags]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench
python3 bench/make_payloads.py "$build/payloads"
status=0
python3 bench/compare.py --bench "$build/bench/corvane_bench" --payloads "$build/payloads" "$@" ||
  status=$?
echo
"$build/bench/startup_bench" || status=$?
echo
"$build/bench/batch_bench" || status=$?
echo
python3 bench/https_bench.py "$build/tool/rpcset" || status=$?
exit "$status"
