#!/bin/sh
# Builds the batch benchmark (preset "bench") and times 1,000 calls made by one
# rpcset --batch process against the same calls made by 1,000 rpcset processes.
#   bench/batch.sh [CALLS [ROUNDS]]
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target batch_bench
exec build/bench/bench/batch_bench "$@"
