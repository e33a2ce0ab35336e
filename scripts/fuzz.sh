#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  work=$(mktemp -d)
  echo "== fuzz_$name for ${seconds} s"
  # New inputs go to a scratch folder; the committed seeds stay as they are.
  status=0
  build-fuzz/bin/"fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/" "$work" "$corpus" >"$work.log" 2>&1 || status=$?
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work.log" >&2
    echo "fuzz_$name failed (status $status); the input is in build-fuzz/" >&2
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$work.log"
  rm -f "$work.log"
done
