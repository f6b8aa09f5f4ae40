#!/usr/bin/env bash
# Runs every fuzz target under libFuzzer for a bounded time each, starting from
# a scratch copy of its checked-in corpus, and fails on any finding.
# Usage: fuzz/run.sh SECONDS_PER_TARGET [TARGET...]
set -euo pipefail

# Limits of one run: a hang is an input that takes longer than this.
readonly TIMEOUT_SECONDS=10
readonly RSS_LIMIT_MB=2048

if [[ $# -lt 1 || ! $1 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 SECONDS_PER_TARGET [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  targets=(value response header base64 entities)
fi

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  (cd "$root" && cmake --preset fuzz)
fi
(cd "$root" && cmake --build --preset fuzz)

scratch="$(mktemp -d "${TMPDIR:-/tmp}/corvane-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
# Findings outlive the scratch directory.
artifacts="$build/findings"
mkdir -p "$artifacts"

# The tag and entity texts, so that mutations build on whole tags.
cat >"$scratch/xml.dict" <<'EOF'
"<value>"
"</value>"
"<boolean>"
"</boolean>"
"<int>"
"<i4>"
"</i4>"
"<double>"
"</double>"
"<string>"
"</string>"
"<dateTime.iso8601>"
"</dateTime.iso8601>"
"<base64>"
"</base64>"
"<array>"
"</array>"
"<data>"
"</data>"
"<struct>"
"</struct>"
"<member>"
"</member>"
"<name>"
"</name>"
"<methodResponse>"
"<params>"
"<param>"
"<fault>"
"&lt;"
"&gt;"
"&amp;"
"&apos;"
"&quot;"
"nan"
"inf"
"0x1p-1074"
"\x0d\x0a\x0d\x0a"
"\x0a\x0a"
"Content-length: "
EOF

failed=()
for name in "${targets[@]}"; do
  target="fuzz_$name"
  binary="$build/fuzz/$target"
  if [[ ! -x "$binary" ]]; then
    echo "no such fuzz target: $binary" >&2
    exit 2
  fi
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  log="$scratch/$target.log"
  echo "== $target: ${seconds}s"
  status=0
  "$binary" -max_total_time="$seconds" -timeout="$TIMEOUT_SECONDS" -rss_limit_mb="$RSS_LIMIT_MB" \
    -dict="$scratch/xml.dict" -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
    "$corpus" >"$log" 2>&1 || status=$?
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  if [[ $status -ne 0 ]]; then
    failed+=("$target")
    echo "!! $target found a problem (exit status $status); the end of its log:"
    tail -n 60 "$log"
    grep -E 'Test unit written to|^artifact_prefix' "$log" || true
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "fuzzing found nothing in ${#targets[@]} targets"
