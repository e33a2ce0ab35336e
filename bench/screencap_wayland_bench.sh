#!/usr/bin/env bash
# vexel-screencap on a private headless sway with one 1920x1080 output, 30 fps
# against a reader: CPU%, peak RSS and frame arrival intervals, idle and
# changing (the background recoloured every 50 ms). The X11 figures come from
# bench/screencap_x11_bench.sh. Not run in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${VEXEL_SCREENCAP:-build/bin/vexel-screencap}")
run_seconds=${RUN_SECONDS:-10}
OUTPUT_MODE=1920x1080
source bench/wayland_session.sh
changer=
trap '[ -n "$changer" ] && kill "$changer" 2>/dev/null; stop_session' EXIT
program=$(install_in_session "$bin")

measure() { # w h scene
  local w=$1 h=$2 scene=$3
  if [ "$scene" = changing ]; then
    (while :; do for c in '#ff0000' '#00ff00' '#0000ff'; do
      swaymsg_session output HEADLESS-1 bg "$c" solid_color; sleep 0.05; done; done) &
    changer=$!
  fi
  local intervals="$session/intervals.txt"
  as_client "$program" --width "$w" --height "$h" --fps 30 2>/dev/null |
    python3 bench/frame_intervals.py $((w * h * 4)) "$intervals" &
  local reader=$!
  sleep 1
  local pid
  pid=$(pgrep -n -f "^$program --width $w")
  local c0 c1 hwm
  c0=$(awk '{print $14+$15}' /proc/"$pid"/stat)
  sleep "$run_seconds"
  c1=$(awk '{print $14+$15}' /proc/"$pid"/stat)
  hwm=$(awk '/VmHWM/{print $2}' /proc/"$pid"/status)
  kill "$pid" 2>/dev/null || true
  wait "$reader" 2>/dev/null || true
  if [ -n "$changer" ]; then kill "$changer" 2>/dev/null || true; changer=; fi
  local cpu
  cpu=$(awk -v d=$((c1 - c0)) -v s="$run_seconds" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.1f", 100*d/hz/s}')
  sort -n "$intervals" | awk -v sz="${w}x${h}" -v sc="$scene" -v cpu="$cpu" -v rss="$hwm" '
    {a[NR]=$1} END{printf "%-10s %-9s %6s %8d %8.1f %8.1f %8.1f %6d\n", sz, sc, cpu, rss/1024,
      a[int(NR*0.5)+1], a[int(NR*0.99)+1], a[NR], NR}'
}

printf "%-10s %-9s %6s %8s %8s %8s %8s %6s\n" size screen cpu% rss_MiB p50_ms p99_ms max_ms frames
for scene in idle changing; do
  for size in 1280x720 1920x1080; do
    measure "${size%x*}" "${size#*x}" "$scene"
  done
done
