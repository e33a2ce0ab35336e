#!/usr/bin/env bash
# Checks that macOS programs start on every Mac from the given macOS version
# on: each is universal (arm64 and x86_64), built for that version, loads only
# the system's libraries (a Homebrew or other third-party dylib stops the
# program before main on a Mac without it), and its arm64 slice is signed, as
# Apple silicon requires. LLVM's tools by default; on a Mac,
# OBJDUMP=objdump LIPO=lipo.
# Usage: scripts/check_macos_binaries.sh MIN_MACOS PROGRAM...
set -euo pipefail
minos=$1
shift
objdump=${OBJDUMP:-llvm-objdump-14}
lipo=${LIPO:-llvm-lipo-14}
status=0
fail() {
  echo "  $*" >&2
  status=1
}
for program in "$@"; do
  archs=$("$lipo" -archs "$program")
  echo "$(basename "$program"): $(stat -c %s "$program" 2>/dev/null || stat -f %z "$program") bytes, $archs"
  [ "$(tr ' ' '\n' <<<"$archs" | sort | xargs)" = "arm64 x86_64" ] ||
    fail "architectures are '$archs', not arm64 and x86_64"
  for arch in arm64 x86_64; do
    headers=$("$objdump" --macho --private-headers --arch="$arch" "$program")
    built_for=$(awk '$1 == "minos" { print $2 }' <<<"$headers" | sort -u | xargs)
    dylibs=$(awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ { getline; getline; print $2 }' \
      <<<"$headers")
    signed=$(grep -c 'cmd LC_CODE_SIGNATURE$' <<<"$headers" || true)
    echo "  $arch: minos $built_for, code signature: $([ "$signed" -gt 0 ] && echo yes || echo no)," \
      "loads:" $dylibs
    [ "$built_for" = "$minos" ] || fail "$arch: built for macOS '$built_for', not $minos"
    [ -n "$dylibs" ] || fail "$arch: loads no library at all, so the load commands were not read"
    for dylib in $dylibs; do
      [[ $dylib =~ ^(/usr/lib/|/System/Library/Frameworks/) ]] ||
        fail "$arch: loads $dylib, which is not a system library"
    done
    if [ "$arch" = arm64 ] && [ "$signed" -eq 0 ]; then fail "arm64: not signed"; fi
  done
done
exit $status
