# Sourced by the Wayland benchmarks: starts a private headless sway (as nobody
# when run as root, since sway refuses root) and defines `as_client` to run a
# command as its client. Needs OUTPUT_MODE (e.g. 1920x1080).
for tool in sway foot python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool: bash scripts/bootstrap.sh" >&2; exit 1; }
done
session=$(mktemp -d /tmp/vexel-bench-XXXXXX)
chmod 755 "$session"
user_prefix=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$session"
  user_prefix=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
cat >"$session/sway.conf" <<CONF
default_border none
gaps inner 0
xwayland disable
output HEADLESS-1 resolution $OUTPUT_MODE position 0 0 bg #336699 solid_color
CONF
chmod 644 "$session/sway.conf"
session_env=(env -i PATH=/usr/local/bin:/usr/bin:/bin XDG_RUNTIME_DIR="$session" HOME="$session"
  LANG=C.UTF-8)
"${user_prefix[@]}" "${session_env[@]}" WLR_BACKENDS=headless WLR_RENDERER=pixman \
  WLR_LIBINPUT_NO_DEVICES=1 sway -c "$session/sway.conf" >"$session/sway.log" 2>&1 &
sway_pid=$!
socket=
for _ in $(seq 100); do
  socket=$(cd "$session" && ls wayland-? 2>/dev/null | head -n1) || true
  [ -n "$socket" ] && ls "$session"/sway-ipc.* >/dev/null 2>&1 && break
  sleep 0.1
done
[ -n "$socket" ] || { echo "sway did not start; see $session/sway.log" >&2; exit 1; }
as_client() { "${user_prefix[@]}" "${session_env[@]}" WAYLAND_DISPLAY="$socket" "$@"; }
swaymsg_session() { as_client swaymsg -s "$(ls "$session"/sway-ipc.*)" "$@" >/dev/null; }
stop_session() { kill "$sway_pid" 2>/dev/null || true; wait "$sway_pid" 2>/dev/null || true; rm -rf "$session"; }
# A copy of a program that the session's user may run.
install_in_session() { cp "$1" "$session/" && chmod 755 "$session/$(basename "$1")" && echo "$session/$(basename "$1")"; }
