#!/usr/bin/env bash
# Latency of vexel-input on a private headless sway, typing into foot: "move"
# request to reply, and 1,000 mixed characters checked byte for byte. The X11
# figures come from bench/input_x11_bench.sh. Not run in CI.
# Usage: bench/input_wayland_bench.sh [path/to/vexel-input]
set -euo pipefail
bin=$(realpath "${1:-$(dirname "$0")/../build/bin/vexel-input}")
OUTPUT_MODE=1280x800
source "$(dirname "$0")/wayland_session.sh"
trap stop_session EXIT
as_client foot -e sh -c "stty raw -echo; touch '$session/ready'; exec cat >'$session/typed'" \
  >/dev/null 2>&1 &
# Keys go to the focused window: wait until foot's is mapped and focused.
for _ in $(seq 100); do
  [ -e "$session/ready" ] && swaymsg_session '[app_id="foot"] focus' 2>/dev/null && break
  sleep 0.1
done
program=$(install_in_session "$bin")
script=$(cat <<'PY'
import json, subprocess, sys, time
p = subprocess.Popen(sys.argv[2:], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
out, inp = p.stdin, p.stdout
assert json.loads(inp.readline())["trusted"] is True
def req(obj):
    t0 = time.perf_counter()
    out.write(json.dumps(obj) + "\n"); out.flush()
    json.loads(inp.readline())
    return (time.perf_counter() - t0) * 1e3
def pct(v, p):
    v = sorted(v); return v[min(len(v) - 1, int(len(v) * p / 100))]
lat = [req({"op": "move", "x": i % 1000, "y": i % 700}) for i in range(500)]
print(f"move   p50 {pct(lat, 50):.3f} ms  p99 {pct(lat, 99):.3f} ms  (500 requests)")
base = "Hello, wörld! ✓ 日本語 🙂 ÀÉÎÕÜ ñ ß € αβγ абв "
text = (base * 30)[:1000]
t = req({"op": "type", "text": text})
want = text.encode()
got = b""
end = time.time() + 20
while time.time() < end and len(got) < len(want):
    time.sleep(0.05)
    got = open(sys.argv[1], "rb").read()
same = sum(1 for a, b in zip(got.decode(errors="replace"), text) if a == b)
print(f"type   {len(text)} chars in {t:.0f} ms = {len(text) / t * 1e3:.0f} chars/s, "
      f"{100.0 * same / len(text):.1f}% correct" + ("" if got == want else " (MISMATCH)"))
if got != want: print("  got", len(got), "bytes:", got[:120])
PY
)
python3 -c "$script" "$session/typed" "${user_prefix[@]}" "${session_env[@]}" \
  WAYLAND_DISPLAY="$socket" "$program"
