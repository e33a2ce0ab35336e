#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# As root it runs apt-get; anyone else gets the command to run, before any work starts.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  nlohmann-json3-dev libicu-dev libgtest-dev libgmock-dev libbenchmark-dev
  libxcb1-dev libxcb-xtest0-dev libxcb-shm0-dev libxcb-randr0-dev
  libxcb-xfixes0-dev libxcb-damage0-dev libpixman-1-dev libxcb-xkb-dev libxkbcommon-x11-dev
  libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev
  xvfb x11-xserver-utils x11-utils xterm xdotool python3-xlib imagemagick
  sway swaybg weston xwayland foot grim wev fonts-dejavu-core
  clang-14 libclang-rt-14-dev clang-format-14 clang-tidy-14 lld-14 llvm-14 time dpkg-dev yamllint
)
# The TypeScript client needs Node 18 or later and npm. A Node installed from
# elsewhere (with its own npm) is kept: Debian's npm would conflict with it.
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
[ "$node_major" -ge 18 ] || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "vexel: these Debian packages are missing: ${missing[*]}" >&2
  echo "vexel: install them as root, then run this command again:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "vexel: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
