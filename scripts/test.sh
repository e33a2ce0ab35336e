#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds with warnings as
# errors, runs clang-tidy on the product sources and every test: once normally
# (unit, process and end-to-end tests on a private Xvfb), once more under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded streamer tests
# under ThreadSanitizer, then each fuzz target for a bounded time. Between them
# it checks the programs' answers as the Mac workflow does, the workflow files
# against YAML and GitHub's schema, and compiles the macOS build against the
# SDK in VEXEL_MACOS_SDK (skipped without one). Then the programs and benchmarks build without the tests; last,
# the release artifacts are made and checked (scripts/release.sh; with the SDK,
# the universal macOS programs are linked and checked there).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

jobs=$(nproc)
echo "== formatting"
find common input screencap testing tests fuzz bench \
  \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.mm' \) -print0 |
  xargs -0 clang-format-14 --dry-run -Werror

echo "== build (warnings as errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
echo "== clang-tidy on the product sources"
# Headers too, but not those generated into the build tree (Wayland protocols).
product="^$PWD/(common|input|screencap)/"
run-clang-tidy-14 -p build -j "$jobs" -quiet -header-filter "$product" "$product" >/dev/null ||
  { run-clang-tidy-14 -p build -j "$jobs" -quiet -header-filter "$product" "$product" 2>&1 |
      grep -E 'warning:|error:' | sort -u; exit 1; }
echo "== tests"
ctest --preset ci -j "$jobs"

echo "== the Mac workflow's checks of what the programs say, here on Xvfb and without a display"
(
  unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_TYPE
  python3 scripts/smoke_programs.py build/bin >/dev/null
  xvfb-run -a -s '-screen 0 1024x768x24' python3 scripts/smoke_programs.py build/bin >/dev/null
)
echo "== workflow files: YAML, and the GitHub Actions schema"
yamllint --strict .github/workflows
npm exec --yes @action-validator/cli@0.6.0 -- .github/workflows/*.yml

echo "== TypeScript client: build, tests against the programs above"
(
  cd clients/node
  export VEXEL_INPUT="$OLDPWD/build/bin/vexel-input" VEXEL_SCREENCAP="$OLDPWD/build/bin/vexel-screencap"
  npm ci --no-audit --no-fund
  npm test
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

echo "== build without the tests"
cmake --preset product >/dev/null
cmake --build --preset product -j "$jobs"

echo "== release artifacts: portable programs, Debian package installed into an empty root"
bash scripts/release.sh
bash scripts/check_deb.sh
bash scripts/check_npm.sh
