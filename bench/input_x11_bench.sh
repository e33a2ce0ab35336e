#!/usr/bin/env bash
# Latency of vexel-input on a private Xvfb, side by side with xdotool doing the
# same work. Usage: bench/input_x11_bench.sh [path/to/vexel-input]
set -euo pipefail
bin="${1:-$(dirname "$0")/../build/bin/vexel-input}"
command -v Xvfb >/dev/null || { echo "Xvfb is not installed" >&2; exit 1; }
command -v xdotool >/dev/null || { echo "xdotool is not installed" >&2; exit 1; }
exec /usr/bin/python3 "$(dirname "$0")/input_x11_bench.py" "$(realpath "$bin")"
