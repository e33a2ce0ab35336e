#!/usr/bin/env bash
# Links the macOS programs as shipped (the release preset) for arm64 and
# x86_64 with LLVM's Mach-O linker against the SDK's text stubs, joins each
# pair into a universal binary in build-macos/universal/bin/ and checks what a
# Mac's loader would see (scripts/check_macos_binaries.sh).
# VEXEL_MACOS_SDK names the SDK as for scripts/macos_check.sh; unset, nothing
# is built and the script says so.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/macos_sdk.sh "macOS programs"
programs=(vexel-input vexel-screencap)
archs=(arm64 x86_64)
for arch in "${archs[@]}"; do
  cmake --preset release -B "$build/$arch" --toolchain "$PWD/cmake/darwin.cmake" \
    -DVEXEL_MACOS_SDK="$sdk" -DVEXEL_MACOS_ARCH="$arch" -DVEXEL_WERROR=ON \
    -DCMAKE_FIND_ROOT_PATH="$deps" -DICU_ROOT="$deps" >"$build/configure-$arch.log" 2>&1 ||
    {
      cat "$build/configure-$arch.log"
      exit 1
    }
  cmake --build "$build/$arch" -j "$(nproc)" --target "${programs[@]}"
done
mkdir -p "$build/universal/bin"
for program in "${programs[@]}"; do
  slices=()
  for arch in "${archs[@]}"; do slices+=("$build/$arch/bin/$program"); done
  llvm-lipo-14 -create "${slices[@]}" -output "$build/universal/bin/$program"
done
bash scripts/check_macos_binaries.sh 12.3 "${programs[@]/#/$build/universal/bin/}"
