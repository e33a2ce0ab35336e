#!/usr/bin/env python3
"""The main job, end to end, on a private X server.

Starts Xvfb on a free display (never the user's own), opens an xterm there,
types into it with vexel-input, streams the screen with vexel-screencap for a
few seconds and saves the last frame as a PNG.
"""
import json
import os
import select
import shutil
import subprocess
import sys
import time

# Everything here runs on a private Xvfb, never in the caller's Wayland session.
for _name in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE"):
    os.environ.pop(_name, None)

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/bin"
OUT = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "build/demo")
WIDTH, HEIGHT, FPS, SECONDS = 1280, 800, 10, 3


def start_x_server():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{WIDTH}x{HEIGHT}x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    ready, _, _ = select.select([read_end], [], [], 10)
    number = os.read(read_end, 32).decode().strip() if ready else ""
    os.close(read_end)
    if not number:
        server.kill()
        sys.exit("demo: Xvfb did not start")
    return server, ":" + number


def request(injector, line):
    injector.stdin.write((json.dumps(line) + "\n").encode())
    injector.stdin.flush()
    reply = injector.stdout.readline().decode().rstrip("\n")
    print(f"  > {json.dumps(line)}\n  < {reply}")
    return json.loads(reply)


def read_exact(stream, count):
    data = bytearray()
    while len(data) < count:
        chunk = stream.read(count - len(data))
        if not chunk:
            return None
        data += chunk
    return bytes(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    server, display = start_x_server()
    env = dict(os.environ, DISPLAY=display)
    children = [server]
    try:
        print(f"== private X server on {display} ({WIDTH}x{HEIGHT})")
        children.append(subprocess.Popen(
            ["xterm", "-geometry", "90x20+80+60", "-fa", "Monospace", "-fs", "14"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(1.5)  # let the window map

        print("== vexel-screencap --list-displays")
        roster = subprocess.run([f"{BIN}/vexel-screencap", "--list-displays"], env=env,
                                capture_output=True, timeout=10)
        print("  " + roster.stdout.decode().strip(), roster.stderr.decode().strip())

        print("== vexel-input types into the xterm")
        injector = subprocess.Popen([f"{BIN}/vexel-input"], env=env, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE)
        print("  " + injector.stdout.readline().decode().strip())
        request(injector, {"op": "click", "x": 300, "y": 150, "id": 1})
        request(injector, {"op": "type", "text": "echo 'typed by vexel-input: h\u00e9llo \u2713'",
                           "id": 2})
        request(injector, {"op": "key", "key": "enter", "id": 3})
        request(injector, {"op": "drag", "fromX": 100, "fromY": 100, "toX": 500, "toY": 120,
                           "id": 4})
        injector.stdin.close()
        injector.wait(timeout=10)

        print(f"== vexel-screencap streams {SECONDS} s at {FPS} fps")
        capture = subprocess.Popen(
            [f"{BIN}/vexel-screencap", "--width", str(WIDTH), "--height", str(HEIGHT),
             "--fps", str(FPS)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        children.append(capture)
        # The start line and the size line may come in either order.
        parts = []
        while len(parts) != 3 or parts[0] != "DIMS":
            line = capture.stderr.readline().decode()
            if not line:
                sys.exit("demo: the streamer ended without a DIMS line")
            print("  stderr: " + line.strip())
            parts = line.split()
        w, h = int(parts[1]), int(parts[2])
        frame, frames, deadline = None, 0, time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            data = read_exact(capture.stdout, w * h * 4)
            if data is None:
                break
            frame, frames = data, frames + 1
        capture.stdout.close()  # the streamer notices and exits 0
        status = capture.wait(timeout=10)
        rest = capture.stderr.read().decode().strip()
        print(f"  {frames} frames of {w}x{h} in {SECONDS} s; stderr: {rest}; exit {status}")
        if frame is None:
            sys.exit("demo: no frame arrived")
        raw = os.path.join(OUT, "frame.bgra")
        png = os.path.join(OUT, "frame.png")
        with open(raw, "wb") as f:
            f.write(frame)
        subprocess.run(["convert", "-size", f"{w}x{h}", "-depth", "8", f"bgra:{raw}",
                        "-alpha", "off", png], check=True)
        os.remove(raw)
        print(f"== saved the last frame: {png}")
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.kill()
                child.wait()


if __name__ == "__main__":
    if shutil.which("Xvfb") is None:
        sys.exit("demo: Xvfb is missing; run scripts/bootstrap.sh as root")
    main()
