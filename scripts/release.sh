#!/usr/bin/env bash
# Builds the programs as shipped (the release preset: optimised, the C++
# runtime and ICU linked in), checks that they run on glibc 2.35 and newer with
# only stable sonames, and puts into dist/ a Debian package and a tarball of
# both programs. Prints each artifact's name, size and SHA-256.
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
for artifact in dist/*; do
  printf '%s  %s bytes  sha256 %s\n' "$(basename "$artifact")" "$(stat -c %s "$artifact")" \
    "$(sha256sum "$artifact" | cut -d' ' -f1)"
done
