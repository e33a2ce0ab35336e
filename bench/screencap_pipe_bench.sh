#!/usr/bin/env bash
# The frame path at full rate: vexel-screencap, ffmpeg x11grab and a trivial
# writer (the floor: one fixed frame written on the same clock through a
# 1 MiB pipe), each read by the same C reader that never limits the rate, on
# a private Xvfb at 1920x1080@30 and 3840x2160@60, with the screen idle,
# wholly changing, or with five 320x220 rectangles moving. CPU is seconds per
# second of the producer and of the X server; the reader and the painter that
# changes the screen are not counted. Prints a table and the ratios.
# The programs take turns, REPEATS (3) times each, and the ratios compare
# medians: on a shared machine single runs scatter by +-20 %. Not run in CI;
# about 7 minutes. WARMUP_SECONDS (2) and RUN_SECONDS (6) set each run's length;
# BASELINE=path/to/an/older/vexel-screencap adds it as the row "before";
# SIZES="1920x1080@30" limits the sizes.
set -euo pipefail
# The programs under test must reach the private Xvfb, never a Wayland session.
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
cd "$(dirname "$0")/.."
bin=${VEXEL_SCREENCAP:-build/bin/vexel-screencap}
warmup=${WARMUP_SECONDS:-2}
run=${RUN_SECONDS:-6}
repeats=${REPEATS:-3}
out=build/bench/pipe
mkdir -p "$out"
# The peer and a C compiler come on top of what the build needs.
bash scripts/bootstrap.sh ffmpeg gcc
[ -x "$bin" ] || { echo "build first: cmake --build --preset ci -j2" >&2; exit 1; }
cc -O2 -o "$out/frame_reader" bench/frame_reader.c
cc -O2 -o "$out/floor_writer" bench/floor_writer.c
cc -O2 -o "$out/scene_painter" bench/scene_painter.c $(pkg-config --cflags --libs xcb)

hz=$(getconf CLK_TCK)
# The whole process's user + system time, threads that have ended included.
cpu_ticks() { awk '{print $14+$15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
xvfb= painter=
cleanup() {
  [ -n "$painter" ] && kill "$painter" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  return 0
}
trap cleanup EXIT

start_xvfb() { # WxH
  : >"$out/display.txt"
  Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -noreset 3>"$out/display.txt" \
    >/dev/null 2>&1 &
  xvfb=$!
  until [ -s "$out/display.txt" ]; do sleep 0.1; done
  export DISPLAY=":$(head -n1 "$out/display.txt")"
}

# measure NAME W H FPS NOMINAL_MS command...: one line of figures.
measure() {
  local name=$1 w=$2 h=$3 fps=$4 nominal=$5; shift 5
  local fifo="$out/frames.fifo" result="$out/reader.txt"
  rm -f "$fifo"; mkfifo "$fifo"
  "$out/frame_reader" $((w * h * 4)) "$nominal" "$warmup" "$run" <"$fifo" >"$result" &
  local reader=$!
  "$@" >"$fifo" 2>"$out/$name.err" &
  local pid=$!
  sleep "$warmup"
  local p0 x0 p1 x1 hwm
  p0=$(cpu_ticks "$pid"); x0=$(cpu_ticks "$xvfb")
  sleep "$run"
  p1=$(cpu_ticks "$pid"); x1=$(cpu_ticks "$xvfb")
  hwm=$(awk '/VmHWM/{print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  wait "$reader" || true
  read -r frames rate p50 p99 max jitter <"$result" || true
  awk -v n="$name" -v p=$((p1 - p0)) -v x=$((x1 - x0)) -v hz="$hz" -v s="$run" -v fps="$rate" \
    -v j="$jitter" -v m="$max" -v r="$hwm" \
    'BEGIN{printf "%-8s %6.3f %6.3f %6.3f %7.2f %7.1f %7.1f %6d\n", n, p/hz/s, x/hz/s, (p+x)/hz/s, fps, j, m, r/1024}'
}

printf '# %s, load before: %s\n' "$(date -u +%FT%TZ)" "$(cut -d' ' -f1-3 /proc/loadavg)"
results=$out/results.txt
: >"$results"
programs="vexel ffmpeg floor${BASELINE:+ before}"
for mode in ${SIZES:-1920x1080@30 3840x2160@60}; do
  size=${mode%@*} fps=${mode#*@}
  w=${size%x*} h=${size#*x}
  nominal=$((1000 / fps))
  start_xvfb "$size"
  for scene in moving full idle; do
    if [ "$scene" != idle ]; then
      "$out/scene_painter" "$scene" "$fps" &
      painter=$!
    fi
    printf '\n%s %s\n%-8s %6s %6s %6s %7s %7s %7s %6s\n' "$mode" "$scene" program cpu x_cpu sum \
      fps jit99 max_ms rss_MiB
    for prog in $(for _ in $(seq "$repeats"); do echo $programs; done); do
      case $prog in
        vexel) cmd=("$bin" --width "$w" --height "$h" --fps "$fps") ;;
        before) cmd=("$BASELINE" --width "$w" --height "$h" --fps "$fps") ;;
        ffmpeg) cmd=(ffmpeg -nostdin -loglevel error -f x11grab -framerate "$fps" -video_size "$size"
                     -i "$DISPLAY" -f rawvideo -pix_fmt bgra -) ;;
        floor) cmd=("$out/floor_writer" "$w" "$h" "$fps") ;;
      esac
      line=$(measure "$prog" "$w" "$h" "$fps" "$nominal" "${cmd[@]}")
      echo "$line"
      echo "$mode $scene $line" >>"$results"
    done
    if [ -n "$painter" ]; then kill "$painter" 2>/dev/null || true; wait "$painter" 2>/dev/null || true; painter=; fi
  done
  kill "$xvfb"; wait "$xvfb" 2>/dev/null || true; xvfb=
done

printf '\n# load after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
# Ratios of medians: CPU counting the X server against ffmpeg's, per second
# and per frame delivered (fairer when one of them falls short of the rate);
# rate against the nominal 1000/trunc(1000/fps); CPU and jitter against the
# floor's.
printf '\n%-22s %11s %15s %12s %10s %10s\n' case sum/ffmpeg per-frame_sum/ff fps/nominal \
  cpu/floor jit/floor
awk '
  function median(values, k, p,    c, i, j, v, t) {
    c = runs[k,p]
    for (i = 1; i <= c; i++) v[i] = values[k,p,i]
    for (i = 2; i <= c; i++) { t = v[i]; for (j = i - 1; j >= 1 && v[j] > t; j--) v[j+1] = v[j]; v[j+1] = t }
    return c % 2 ? v[(c + 1) / 2] : (v[c/2] + v[c/2+1]) / 2
  }
  { key=$1" "$2; i=++runs[key,$3]; cpu[key,$3,i]=$4; sum[key,$3,i]=$6; fps[key,$3,i]=$7
    jit[key,$3,i]=$8; keys[key]=1 }
  END {
    for (k in keys) {
      split(k, a, " "); split(a[1], m, "@"); nom = 1000 / int(1000 / m[2])
      vs = median(sum, k, "vexel"); fs = median(sum, k, "ffmpeg")
      vf = median(fps, k, "vexel"); ff = median(fps, k, "ffmpeg"); lj = median(jit, k, "floor")
      printf "%-22s %11.2f %15.2f %12.3f %10.2f %10.2f\n", k, vs / fs, (vs / vf) / (fs / ff),
        vf / nom, median(cpu, k, "vexel") / median(cpu, k, "floor"),
        (lj > 0 ? median(jit, k, "vexel") / lj : 0)
    }
  }' "$results" | sort
