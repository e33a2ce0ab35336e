#!/usr/bin/env bash
# Builds the programs as shipped (the release preset: optimised, the C++
# runtime and ICU linked in), checks that they run on glibc 2.35 and newer with
# only stable sonames, and puts into dist/ a Debian package and a tarball of
# both programs, the npm package of the Node client and the npm package of
# these programs; with a macOS SDK in VEXEL_MACOS_SDK, also the universal macOS
# programs, as a tarball and an npm package. Prints each artifact's name, size
# and SHA-256.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
bash scripts/check_portable.sh 2.35 build-release/bin/vexel-input build-release/bin/vexel-screencap
(cd build-release && cpack -G "DEB;TGZ" >/dev/null)
rm -rf dist
mkdir -p dist
cp build-release/vexel_*.deb build-release/vexel-*.tar.gz dist/

# npm: the client, which lists one package of programs per system as optional
# dependencies (npm installs only the one whose os and cpu match), and the
# package of the programs built here.
version=$(cd clients/node && npm pkg get version | tr -d '"')
stage=build-release/npm
rm -rf "$stage"
mkdir -p "$stage/vexel" "$stage/vexel-linux-x64/bin"
(cd clients/node && npm ci --no-audit --no-fund >/dev/null && npm run build >/dev/null)
cp -r clients/node/package.json clients/node/dist "$stage/vexel/"
# The README's section on the Node client is the package's README.
sed -n '/^## From Node/,/^## /p' README.md | sed '$d' >"$stage/vexel/README.md"
(
  cd "$stage/vexel"
  npm pkg delete scripts devDependencies
  for platform in linux-x64 darwin-universal; do
    npm pkg set "optionalDependencies.vexel-$platform=$version"
  done
)
platform_package() {  # name, os, cpu (JSON list), system, folder of the programs
  local dir="$stage/$1"
  mkdir -p "$dir/bin"
  cp "$5/vexel-input" "$5/vexel-screencap" "$dir/bin/"
  cat >"$dir/package.json" <<JSON
{
  "name": "$1",
  "version": "$version",
  "description": "The vexel-input and vexel-screencap programs for $4, installed by the vexel package",
  "os": ["$2"],
  "cpu": $3,
  "files": ["bin"]
}
JSON
  printf '# %s\n\nThe `vexel-input` and `vexel-screencap` programs for %s, in `bin/`.\nThe `vexel` package installs this one on such systems and finds the programs\nhere; see its README.\n' \
    "$1" "$4" >"$dir/README.md"
}
platform_package vexel-linux-x64 linux '["x64"]' "Linux on x86-64 (glibc 2.35 or later)" build-release/bin
# macOS: universal programs linked here against the SDK's stubs, when one is given.
if [ -n "${VEXEL_MACOS_SDK:-}" ]; then
  bash scripts/macos_programs.sh
  platform_package vexel-darwin-universal darwin '["arm64", "x64"]' "macOS 12.3 or later (Apple silicon and Intel)" \
    build-macos/universal/bin
  tar -czf "dist/vexel-$version-macos-universal.tar.gz" -C build-macos/universal bin -C "$PWD" README.md
else
  echo "release: no macOS programs, VEXEL_MACOS_SDK is not set"
fi
for package in "$stage"/*/; do
  (cd "$package" && npm pack --ignore-scripts --pack-destination "$OLDPWD/dist" >/dev/null)
done
for artifact in dist/*; do
  printf '%s  %s bytes  sha256 %s\n' "$(basename "$artifact")" "$(stat -c %s "$artifact")" \
    "$(sha256sum "$artifact" | cut -d' ' -f1)"
done
