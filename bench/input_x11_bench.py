"""Runs the figures of bench/input_x11_bench.sh (Debian's python3 with python3-xlib)."""
import json, os, subprocess, sys, threading, time
from Xlib import X, XK, display as xdisplay

# Everything here runs on a private Xvfb, never in the caller's Wayland session.
for _name in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE"):
    os.environ.pop(_name, None)

BIN = sys.argv[1]
MOVES = 500
XDO_MOVES = 100


def start_xvfb():
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(w,),
                            stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(r)
    return proc, ":" + number.decode().strip()


class Receiver:
    """A focused window that decodes key presses to text through the live mapping."""

    def __init__(self, name):
        self.d = xdisplay.Display(name)
        s = self.d.screen()
        self.w = s.root.create_window(0, 0, 1280, 800, 0, s.root_depth, override_redirect=1,
                                      event_mask=X.KeyPressMask)
        self.w.map()
        self.d.sync()
        self.w.set_input_focus(X.RevertToPointerRoot, X.CurrentTime)
        self.d.sync()
        self.text = []
        self.lock = threading.Lock()
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            ev = self.d.next_event()
            if ev.type == X.MappingNotify:
                self.d.refresh_keyboard_mapping(ev)
            elif ev.type == X.KeyPress:
                shifted = ev.state & X.ShiftMask
                sym = self.d.keycode_to_keysym(ev.detail, 1 if shifted else 0)
                if sym == 0 and shifted:
                    sym = self.d.keycode_to_keysym(ev.detail, 0)
                ch = ""
                if sym == XK.XK_Tab:
                    ch = "\t"
                elif sym == XK.XK_Return:
                    ch = "\n"
                elif 0x20 <= sym <= 0xFF:
                    ch = chr(sym)
                elif sym >= 0x01000100:
                    ch = chr(sym - 0x01000000)
                with self.lock:
                    self.text.append(ch)

    def take(self, expected_len, timeout=10.0):
        end = time.time() + timeout
        while time.time() < end:
            with self.lock:
                if len("".join(self.text)) >= expected_len:
                    break
            time.sleep(0.01)
        time.sleep(0.2)
        with self.lock:
            t = "".join(self.text)
            self.text.clear()
        return t


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * p / 100))]


def accuracy(sent, got):
    same = sum(1 for a, b in zip(sent, got) if a == b)
    return 100.0 * same / max(len(sent), 1)


def main():
    xvfb, name = start_xvfb()
    env = dict(os.environ, DISPLAY=name)
    try:
        rx = Receiver(name)
        p = subprocess.Popen([BIN], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        assert json.loads(p.stdout.readline())["trusted"] is True

        def req(obj):
            t0 = time.perf_counter()
            p.stdin.write((json.dumps(obj) + "\n").encode())
            p.stdin.flush()
            reply = json.loads(p.stdout.readline())
            return time.perf_counter() - t0, reply

        lat = [req({"op": "move", "x": i % 1000, "y": i % 700})[0] * 1e3 for i in range(MOVES)]
        xlat = []
        for i in range(XDO_MOVES):
            t0 = time.perf_counter()
            subprocess.run(["xdotool", "mousemove", str(i % 1000), str(i % 700)], env=env, check=True)
            xlat.append((time.perf_counter() - t0) * 1e3)
        print(f"move   vexel-input p50 {pct(lat, 50):.3f} ms  p99 {pct(lat, 99):.3f} ms  ({MOVES} requests)")
        print(f"move   xdotool     p50 {pct(xlat, 50):.3f} ms  p99 {pct(xlat, 99):.3f} ms  ({XDO_MOVES} invocations)")
        print(f"move   speed-up at p50: {pct(xlat, 50) / pct(lat, 50):.0f}x")
        st = [req({"op": "status"})[0] * 1e3 for _ in range(MOVES)]
        print(f"status vexel-input p50 {pct(st, 50):.3f} ms  (pipe and JSON alone, no X request)")

        for op in ({"op": "click", "x": 5, "y": 5}, {"op": "key", "key": "a", "modifiers": ["ctrl"]}):
            t = [req(op)[0] * 1e3 for _ in range(20)]
            print(f"{op['op']:6} vexel-input p50 {pct(t, 50):.3f} ms (mandated pauses included)")
        rx.take(0, 0.1)

        base = "Hello, wörld! ✓ 日本語 🙂 ÀÉÎÕÜ ñ ß € αβγ абв "
        text = (base * 30)[:1000]
        t, reply = req({"op": "type", "text": text})
        got = rx.take(len(text))
        print(f"type   vexel-input {len(text)} chars in {t * 1e3:.0f} ms = {len(text) / t:.0f} chars/s, "
              f"{accuracy(text, got):.1f}% correct" + ("" if got == text else " (MISMATCH)"))
        if got != text: print("  first differences:", [(i, a, b) for i, (a, b) in enumerate(zip(text, got)) if a != b][:8], len(got))
        # xdotool with its default delay is slow; time a 200-character part and scale.
        part = text[:200]
        for args, label in ((["xdotool", "type", part], "default delay"),
                            (["xdotool", "type", "--delay", "0", part], "--delay 0")):
            t0 = time.perf_counter()
            subprocess.run(args, env=env, check=True)
            t = time.perf_counter() - t0
            got = rx.take(len(part), 3.0)
            print(f"type   xdotool {label:13} {len(part)} chars in {t * 1e3:.0f} ms = {len(part) / t:.0f} chars/s, "
                  f"{accuracy(part, got):.1f}% correct")
        p.stdin.close()
        p.wait(10)
    finally:
        xvfb.kill()


main()
