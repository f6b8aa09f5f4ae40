#!/bin/sh
# Builds the start-up benchmark (preset "bench") and times the minimal C client,
# rpcset and a fully static rpcset side by side.
#   bench/startup.sh [RUNS]
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target startup_bench
exec build/bench/bench/startup_bench "$@"
