#!/usr/bin/env bash
# The main job on a private Xvfb: installs what is missing, builds, then drives
# an xterm with vexel-input and streams it with vexel-screencap (scripts/demo.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
python3 scripts/demo.py build/bin build/demo
