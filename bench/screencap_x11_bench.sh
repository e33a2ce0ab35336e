#!/usr/bin/env bash
# vexel-screencap against ffmpeg x11grab on a private Xvfb 1920x1080: CPU%,
# peak RSS and inter-frame arrival intervals seen by the reader, idle screen
# and changing screen. Prints a table; plots intervals to build/bench/.
# Not run in CI.
set -euo pipefail
# The programs under test must reach the private Xvfb, never a Wayland session.
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
cd "$(dirname "$0")/.."
bin=${VEXEL_SCREENCAP:-build/bin/vexel-screencap}
run_seconds=${RUN_SECONDS:-10}
out=build/bench
mkdir -p "$out"
for tool in Xvfb ffmpeg gnuplot python3 xsetroot; do
  command -v "$tool" >/dev/null || {
    echo "missing $tool: apt-get install -y xvfb ffmpeg gnuplot-nox python3 x11-xserver-utils" >&2
    exit 1
  }
done
[ -x "$bin" ] || { echo "build first: cmake --build --preset ci -j2" >&2; exit 1; }

: >"$out/display.txt"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$out/display.txt" >/dev/null 2>&1 &
xvfb=$!
until [ -s "$out/display.txt" ]; do sleep 0.1; done
num=$(head -n1 "$out/display.txt")
display=":$num"
changer=
cleanup() { [ -n "$changer" ] && kill "$changer" 2>/dev/null; kill "$xvfb" 2>/dev/null; }
trap cleanup EXIT

measure() { # name w h scene command...
  local name=$1 w=$2 h=$3 scene=$4; shift 4
  local intervals="$out/intervals_${name}_${w}x${h}_${scene}.txt"
  if [ "$scene" = changing ]; then
    (while :; do for c in red green blue; do DISPLAY=$display xsetroot -solid $c; sleep 0.05; done; done) &
    changer=$!
  fi
  local fifo="$out/frames.fifo" pid
  rm -f "$fifo"; mkfifo "$fifo"
  python3 bench/frame_intervals.py $((w * h * 4)) "$intervals" <"$fifo" &
  local reader_pid=$!
  DISPLAY=$display "$@" 2>"$out/$name.err" >"$fifo" &
  pid=$!
  sleep 1
  local t0 c1
  t0=$(awk '{print $14+$15}' /proc/"$pid"/stat)
  sleep "$run_seconds"
  c1=$(awk '{print $14+$15}' /proc/"$pid"/stat)
  local hwm
  hwm=$(awk '/VmHWM/{print $2}' /proc/"$pid"/status)
  kill "$pid" 2>/dev/null || true
  wait "$pid" "$reader_pid" 2>/dev/null || true
  if [ -n "$changer" ]; then kill "$changer" 2>/dev/null || true; changer=; fi
  local cpu
  cpu=$(awk -v d=$((c1 - t0)) -v s="$run_seconds" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.1f", 100*d/hz/s}')
  sort -n "$intervals" | awk -v n="$name" -v sz="${w}x${h}" -v sc="$scene" -v cpu="$cpu" -v rss="$hwm" '
    {a[NR]=$1} END{printf "%-16s %-10s %-9s %6s %8d %8.1f %8.1f %8.1f %6d\n", n, sz, sc, cpu, rss/1024,
      a[int(NR*0.5)+1], a[int(NR*0.99)+1], a[NR], NR}'
}

printf "%-16s %-10s %-9s %6s %8s %8s %8s %8s %6s\n" program size screen cpu% rss_MiB p50_ms p99_ms max_ms frames
for scene in idle changing; do
  for size in 1280x720 1920x1080; do
    w=${size%x*}; h=${size#*x}
    measure vexel-screencap "$w" "$h" "$scene" "$bin" --width "$w" --height "$h" --fps 30
    vf=()
    [ "$size" = 1920x1080 ] || vf=(-vf "scale=$w:$h")
    measure ffmpeg "$w" "$h" "$scene" ffmpeg -loglevel quiet -f x11grab -framerate 30 \
      -video_size 1920x1080 -i "$display" "${vf[@]}" -f rawvideo -pix_fmt bgra -
  done
done

cat > "$out/frame_intervals.gp" <<GP
set terminal png size 1200,600 noenhanced
set output "$out/frame_intervals.png"
set xlabel "frame"; set ylabel "interval (ms)"; set yrange [0:100]
plot for [f in system("ls $out/intervals_*.txt")] f with lines title system("basename ".f." .txt")
GP
gnuplot "$out/frame_intervals.gp"
echo "plot: $out/frame_intervals.png"
