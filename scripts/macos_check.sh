#!/usr/bin/env bash
# Compiles every translation unit of the macOS build (the programs, tests and
# benchmarks, as the macOS workflow builds them) against a real macOS SDK, with
# warnings as errors. The SDK's headers carry Apple's availability annotations,
# so a call newer than the deployment target, a misspelt selector or a
# Linux-only call fails here. Nothing is linked (the SDK's link stubs list only
# what the programs import; scripts/macos_programs.sh links those) and nothing
# runs.
#
# VEXEL_MACOS_SDK names the SDK: its folder, or a .tar.xz holding one. Unset,
# the check is skipped. Debian's clang-14 compiles, VEXEL_JOBS at a time
# (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/macos_sdk.sh "macOS check"

# The macOS workflow's configuration: the ci preset, tests and benchmarks on.
cmake --preset ci -B "$build" --toolchain "$PWD/cmake/darwin.cmake" \
  -DVEXEL_MACOS_SDK="$sdk" \
  -DVEXEL_TESTS=ON -DVEXEL_BENCH=ON \
  -DCMAKE_FIND_ROOT_PATH="$deps" -DICU_ROOT="$deps" >"$build/configure.log" 2>&1 ||
  {
    cat "$build/configure.log"
    exit 1
  }

# Every object file the build would make. Ninja would link the programs that
# some tests depend on before compiling those tests, so each object's own
# command is run instead, without its dependencies.
mapfile -t objects < <(ninja -C "$build" -t targets all |
  awk -F': ' '$2 ~ /^(CXX|OBJCXX)_COMPILER__/ { print $1 }')
if [ ${#objects[@]} -eq 0 ]; then
  echo "macOS check: the build lists no translation units" >&2
  exit 1
fi
jobs=$(realpath "$build")/jobs
rm -rf "$jobs"
mkdir -p "$jobs"
for i in "${!objects[@]}"; do
  object=${objects[$i]}
  mkdir -p "$build/$(dirname "$object")"
  rm -f "$build/$object"
  ninja -C "$build" -t commands -s "$object" >"$jobs/$i.sh"
done
(cd "$build" && printf '%s\n' "${!objects[@]}" |
  xargs -P "${VEXEL_JOBS:-$(nproc)}" -I '{}' sh -c "sh '$jobs/{}.sh' >'$jobs/{}.log' 2>&1 || : >'$jobs/{}.failed'")
for i in "${!objects[@]}"; do cat "$jobs/$i.log"; done >"$build/compile.log"
failed=$(find "$jobs" -name '*.failed' | wc -l)
errors=$(grep -c 'error:' "$build/compile.log" || true)
warnings=$(grep -c 'warning:' "$build/compile.log" || true)
cat "$build/compile.log" >&2
echo "macOS check: ${#objects[@]} translation units for $(basename "$sdk"), $failed failed," \
  "$errors errors, $warnings warnings"
[ "$failed" -eq 0 ] && [ "$errors" -eq 0 ] && [ "$warnings" -eq 0 ]
