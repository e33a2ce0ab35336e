#!/usr/bin/env bash
# Installs what is missing, builds, and shows vexel-input answering a few requests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
echo "== vexel-input: requests, then replies"
requests='{"op":"status","id":1}
{"op":"move","x":100,"y":200,"id":2}
{"op":"key","key":"Enter","id":3}
not json
{"op":"fly","id":4}'
printf '%s\n' "$requests"
echo "--"
printf '%s\n' "$requests" | build/bin/vexel-input
