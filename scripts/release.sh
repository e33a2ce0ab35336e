#!/usr/bin/env bash
# Builds the programs as shipped (the release preset: optimised, the C++
# runtime and ICU linked in), checks that they run on glibc 2.35 and newer with
# only stable sonames, and puts into dist/ a Debian package and a tarball of
# both programs, the npm package of the Node client and the npm package of
# these programs. Prints each artifact's name, size and SHA-256.
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
cp build-release/bin/vexel-input build-release/bin/vexel-screencap "$stage/vexel-linux-x64/bin/"
cat >"$stage/vexel-linux-x64/package.json" <<JSON
{
  "name": "vexel-linux-x64",
  "version": "$version",
  "description": "The vexel-input and vexel-screencap programs for Linux on x86-64 (glibc 2.35 or later), installed by the vexel package",
  "os": ["linux"],
  "cpu": ["x64"],
  "files": ["bin"]
}
JSON
printf '# vexel-linux-x64\n\nThe `vexel-input` and `vexel-screencap` programs for Linux on x86-64\n(glibc 2.35 or later), in `bin/`. The `vexel` package installs this one on\nsuch systems and finds the programs here; see its README.\n' \
  >"$stage/vexel-linux-x64/README.md"
for package in "$stage"/*/; do
  (cd "$package" && npm pack --ignore-scripts --pack-destination "$OLDPWD/dist" >/dev/null)
done
for artifact in dist/*; do
  printf '%s  %s bytes  sha256 %s\n' "$(basename "$artifact")" "$(stat -c %s "$artifact")" \
    "$(sha256sum "$artifact" | cut -d' ' -f1)"
done
