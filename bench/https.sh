#!/bin/sh
# Builds rpcset (preset "bench") and times one-shot https calls of rpcset beside
# curl making the same POST with the same CA file.
#   bench/https.sh [RUNS]
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target rpcset
exec python3 bench/https_bench.py build/bench/tool/rpcset "$@"
