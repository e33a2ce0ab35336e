#!/usr/bin/env bash
# Client overhead on a private 1920x1080 Xvfb: frames per second and CPU of a
# 30 fps stream read through the client and by a plain byte counter, then
# pipelined "status" requests. Run with `npm run bench` in clients/node.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(cd ../.. && pwd)
export VEXEL_INPUT="${VEXEL_INPUT:-$root/build/bin/vexel-input}"
export VEXEL_SCREENCAP="${VEXEL_SCREENCAP:-$root/build/bin/vexel-screencap}"
seconds="${1:-10}"

exec 3< <(Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp -noreset 2>/dev/null & echo "$!")
read -r xvfb <&3
read -r -t 10 number <&3
trap 'kill "$xvfb"' EXIT
export DISPLAY=":$number"

echo "load: $(uptime)"
for mode in plain client client-reuse plain client client-reuse; do
  node out/bench/frames.js "$mode" "$seconds"
done
node out/bench/status.js 100000
echo "load: $(uptime)"
