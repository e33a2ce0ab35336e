#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test:
# once normally (unit, process and end-to-end tests on a private Xvfb), once
# more under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded
# streamer tests under ThreadSanitizer, then each fuzz target for a bounded time.
# Between them it compiles the macOS build against the SDK in VEXEL_MACOS_SDK
# (skipped without one).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

jobs=$(nproc)
echo "== build (warnings as errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
echo "== tests"
ctest --preset ci -j "$jobs"

echo "== TypeScript client: build, tests against the programs above, package contents"
(
  cd clients/node
  export VEXEL_INPUT="$OLDPWD/build/bin/vexel-input" VEXEL_SCREENCAP="$OLDPWD/build/bin/vexel-screencap"
  npm ci --no-audit --no-fund
  npm test
  npm pack --dry-run
)

echo "== macOS build compiled against the macOS SDK, warnings as errors"
bash scripts/macos_check.sh

echo "== build under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset asan -j "$jobs"

echo "== build under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
echo "== threaded tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs"

echo "== fuzzing, a bounded time per target"
bash scripts/fuzz.sh "${VEXEL_FUZZ_SECONDS:-60}"
