#!/usr/bin/env bash
# Compiles every translation unit of the macOS build (the programs, tests and
# benchmarks, as the macOS workflow builds them) against a real macOS SDK, with
# warnings as errors, and stops before the link. The SDK's headers carry Apple's
# availability annotations, so a call newer than the deployment target, a
# misspelt selector or a Linux-only call fails here. Nothing is linked or run:
# the SDK holds no link stubs for libSystem or libc++.
#
# VEXEL_MACOS_SDK names the SDK: its folder, or a .tar.xz holding one. Unset,
# the check is skipped. Debian's clang-14 compiles, VEXEL_JOBS at a time
# (default: one per core).
#
# The third-party headers (nlohmann-json, ICU, GoogleTest, Google Benchmark) are
# Debian's, reached through a folder of symlinks to their own subfolders of
# /usr/include, so glibc's headers are never searched; the CMake packages found
# there are stand-ins that only carry that include folder.
set -euo pipefail
cd "$(dirname "$0")/.."

sdk=${VEXEL_MACOS_SDK:-}
if [ -z "$sdk" ]; then
  echo "macOS check skipped: VEXEL_MACOS_SDK is not set"
  exit 0
fi
build="build-macos"
mkdir -p "$build"

if [ -f "$sdk" ]; then
  # Unpacked once per archive.
  stamp="$(realpath "$sdk") $(stat -c '%s %Y' "$sdk")"
  if [ "$(cat "$build/sdk.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$build/sdk" "$build/sdk.stamp"
    mkdir -p "$build/sdk"
    tar -xJf "$sdk" -C "$build/sdk"
    echo "$stamp" >"$build/sdk.stamp"
  fi
  sdk=$(find "$build/sdk" -mindepth 1 -maxdepth 1 -type d -name '*.sdk' | head -n 1)
fi
if [ ! -d "$sdk/usr/include/c++/v1" ]; then
  echo "macOS check: no macOS SDK in ${VEXEL_MACOS_SDK}" >&2
  exit 1
fi
sdk=$(realpath "$sdk")

deps=$(realpath "$build")/deps
rm -rf "$deps"
mkdir -p "$deps/include" "$deps/lib"
for dir in nlohmann unicode gtest gmock benchmark; do
  if [ ! -d "/usr/include/$dir" ]; then
    echo "macOS check: /usr/include/$dir is missing (run scripts/bootstrap.sh)" >&2
    exit 1
  fi
  ln -s "/usr/include/$dir" "$deps/include/$dir"
done
# FindICU wants a library file beside the headers; it is never linked.
: >"$deps/lib/libicuuc.dylib"
package() {  # name, config version file or "", imported targets...
  local name=$1 version=$2
  shift 2
  mkdir -p "$deps/lib/cmake/$name"
  local config="$deps/lib/cmake/$name/${name}Config.cmake"
  : >"$config"
  for target in "$@"; do
    printf 'add_library(%s INTERFACE IMPORTED)\n' "$target" >>"$config"
    printf 'set_target_properties(%s PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "%s")\n' \
      "$target" "$deps/include" >>"$config"
  done
  if [ -n "$version" ]; then ln -s "$version" "$deps/lib/cmake/$name/${name}ConfigVersion.cmake"; fi
}
package nlohmann_json /usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake \
  nlohmann_json::nlohmann_json
package GTest "" GTest::gtest GTest::gtest_main GTest::gmock GTest::gmock_main
package benchmark "" benchmark::benchmark benchmark::benchmark_main

# The macOS workflow's configuration: the ci preset, tests and benchmarks on.
cmake --preset ci -B "$build" --toolchain "$PWD/cmake/darwin-arm64.cmake" \
  -DVEXEL_MACOS_SDK="$sdk" \
  -DVEXEL_TESTS=ON -DVEXEL_BENCH=ON \
  -DCMAKE_FIND_ROOT_PATH="$deps" -DICU_ROOT="$deps" >"$build/configure.log" ||
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
