#!/usr/bin/env bash
# Throughput and memory of vexel-input over its pipes: N requests written at
# once, every reply read back. Prints lines per second and peak RSS.
# Usage: bench/input_pipe_bench.sh [path/to/vexel-input] [requests]
set -euo pipefail
bin=${1:-build/bin/vexel-input}
count=${2:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {  # name, printf template with one %d
  local name=$1 template=$2
  seq 1 "$count" | xargs printf "$template" >"$work/in"
  # No display to act on: this measures the protocol path alone.
  DISPLAY= /usr/bin/time -f "%e %M" -o "$work/time" "$bin" <"$work/in" >"$work/out"
  read -r seconds rss <"$work/time"
  local replies=$(($(wc -l <"$work/out") - 1))
  [ "$replies" -eq "$count" ] || { echo "$name: $replies replies for $count requests" >&2; exit 1; }
  awk -v n="$name" -v c="$count" -v s="$seconds" -v r="$rss" 'BEGIN {
    printf "%-13s %d requests in %.2f s = %.0f lines/s, peak RSS %.1f MiB\n", n, c, s, c / (s > 0 ? s : 0.01), r / 1024 }'
}

run status '{"op":"status","id":%d}\n'
run bad_json '[%d]\n'
run "refused move" '{"op":"move","x":1,"y":2,"id":%d}\n'
