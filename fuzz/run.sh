#!/usr/bin/env bash
# Runs fuzz targets under libFuzzer for SECONDS each, from a scratch copy of
# their corpora, and fails on any finding (kept in build/fuzz/findings/).
#   fuzz/run.sh SECONDS [TARGET...]     targets: value response header base64 entities
set -euo pipefail
[[ ${1:-} =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 SECONDS [TARGET...]" >&2; exit 2; }
seconds=$1 && shift
root=$(cd "$(dirname "$0")/.." && pwd)
targets=("${@:-value response header base64 entities}")
[[ -f $root/build/fuzz/CMakeCache.txt ]] || (cd "$root" && cmake --preset fuzz)
(cd "$root" && cmake --build --preset fuzz)
scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
mkdir -p "$root/build/fuzz/findings"
failed=()
for name in ${targets[*]}; do
  cp -r "$root/fuzz/corpus/fuzz_$name" "$scratch/$name"
  echo "== fuzz_$name: ${seconds}s"
  # A run is a hang after 10 s; 2 GB is the memory it may take.
  "$root/build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict="$root/fuzz/corpus/xml.dict" -artifact_prefix="$root/build/fuzz/findings/fuzz_$name-" \
    "$scratch/$name" >"$scratch/$name.log" 2>&1 || { failed+=("$name"); tail -n 40 "$scratch/$name.log"; }
  grep -E '^#[0-9]+.*DONE' "$scratch/$name.log" || true
done
[[ ${#failed[@]} -eq 0 ]] || { echo "fuzzing found problems in: ${failed[*]}" >&2; exit 1; }
echo "fuzzing found nothing"
