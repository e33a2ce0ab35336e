# Sourced by the macOS scripts, with what they do as the argument: unpacks the
# SDK named by VEXEL_MACOS_SDK (its folder, or a .tar.xz holding one) under
# `build` (build-macos), once per archive, and sets
# `sdk` to its folder and `deps` to a root of stand-ins for the third-party
# packages. Their headers (nlohmann-json, ICU, GoogleTest, Google Benchmark)
# are Debian's, reached through a folder of symlinks to their own subfolders of
# /usr/include so that glibc's headers are never searched; the CMake packages
# there only carry that include folder, and nothing of them is linked.
# Without VEXEL_MACOS_SDK the calling script ends here, with status 0.
build=build-macos
sdk=${VEXEL_MACOS_SDK:-}
if [ -z "$sdk" ]; then
  echo "$1 skipped: VEXEL_MACOS_SDK is not set"
  exit 0
fi
mkdir -p "$build"
if [ -f "$sdk" ]; then
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
  echo "$1: no macOS SDK in ${VEXEL_MACOS_SDK}" >&2
  exit 1
fi
sdk=$(realpath "$sdk")

deps=$(realpath "$build")/deps
rm -rf "$deps"
mkdir -p "$deps/include" "$deps/lib"
for dir in nlohmann unicode gtest gmock benchmark; do
  if [ ! -d "/usr/include/$dir" ]; then
    echo "$1: /usr/include/$dir is missing (run scripts/bootstrap.sh)" >&2
    exit 1
  fi
  ln -s "/usr/include/$dir" "$deps/include/$dir"
done
vexel_mac_package() {  # name, config version file or "", imported targets...
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
vexel_mac_package nlohmann_json /usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake \
  nlohmann_json::nlohmann_json
vexel_mac_package GTest "" GTest::gtest GTest::gtest_main GTest::gmock GTest::gmock_main
vexel_mac_package benchmark "" benchmark::benchmark benchmark::benchmark_main
