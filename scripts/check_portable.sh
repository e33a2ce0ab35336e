#!/usr/bin/env bash
# Checks that Linux programs run on any distribution with the given glibc or
# newer: the only shared libraries they name are glibc's and the display
# libraries, whose sonames are stable, and no symbol needs a newer glibc.
# Usage: scripts/check_portable.sh GLIBC_FLOOR PROGRAM...
set -euo pipefail
floor=$1
shift
allowed='^(libc\.so\.6|libm\.so\.6|ld-linux-(x86-64|aarch64)\.so\.[12]|libxcb(-[a-z]+)?\.so\.[01]|libwayland-client\.so\.0|libxkbcommon\.so\.0|libpixman-1\.so\.0)$'
status=0
for program in "$@"; do
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  newest=$(objdump -T "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
  echo "$(basename "$program"): $(stat -c %s "$program") bytes, glibc $newest or newer, needs:" $needed
  for lib in $needed; do
    if ! [[ $lib =~ $allowed ]]; then
      echo "  $lib: not glibc or a display library, the only shared libraries allowed" >&2
      status=1
    fi
  done
  if [ "$(printf '%s\n%s\n' "$newest" "$floor" | sort -V | tail -n 1)" != "$floor" ]; then
    echo "  needs glibc $newest, newer than the floor $floor:" >&2
    objdump -T "$program" | grep -E "GLIBC_($(echo "$newest" | sed 's/\./\\./g'))[^0-9.]" | awk '{print "   ", $NF}' >&2
    status=1
  fi
done
exit $status
