#!/usr/bin/env bash
# Installs the Debian package from dist/ into an empty root with dpkg and runs
# the installed programs from there, on a private Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls dist/vexel_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
# The libraries it depends on are this machine's, not the empty root's.
dpkg --root="$root" --force-depends -i "$deb" >/dev/null
dpkg --root="$root" -s vexel | grep -qx 'Status: install ok installed'
for f in usr/bin/vexel-input usr/bin/vexel-screencap usr/share/doc/vexel/README.md; do
  [ -f "$root/$f" ] || { echo "check_deb: $f is not installed" >&2; exit 1; }
done
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
reply=$(printf '%s\n' '{"op":"status","id":1}' |
  xvfb-run -a "$root/usr/bin/vexel-input" | tail -n 1)
[ "$reply" = '{"id":1,"ok":true,"trusted":true}' ] || { echo "check_deb: vexel-input said $reply" >&2; exit 1; }
roster=$(xvfb-run -a -s '-screen 0 1024x768x24' "$root/usr/bin/vexel-screencap" --list-displays)
case $roster in
  '[{"id":"0","label":"Main Display (1024x768)",'*) ;;
  *) echo "check_deb: vexel-screencap listed $roster" >&2; exit 1 ;;
esac
echo "check_deb: installed into an empty root; both programs answered"
