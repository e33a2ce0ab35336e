"""Reads whole frames of SIZE bytes from stdin until it ends and writes the
arrival interval between consecutive frames, in milliseconds, one per line
to PATH.  usage: frame_intervals.py SIZE PATH"""
import sys
import time

size, path = int(sys.argv[1]), sys.argv[2]
inp, last = sys.stdin.buffer, None
with open(path, "w") as f:
    while True:
        got = 0
        while got < size:
            chunk = inp.read1(size - got)
            if not chunk:
                sys.exit(0)
            got += len(chunk)
        now = time.monotonic()
        if last is not None:
            f.write(f"{(now - last) * 1000:.3f}\n")
        last = now
