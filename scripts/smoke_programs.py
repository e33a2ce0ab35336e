#!/usr/bin/env python3
"""Checks what the two programs say where nothing else can watch them (the Mac
workflow; on Linux, test.sh runs it on a private Xvfb and without a display).

Whether the session lets the programs post events or capture is not ours to
choose there, so every answer the protocol allows for the session's grants is
accepted, and anything else fails: a wrong line that exits 0 included.

Usage: smoke_programs.py BIN_DIR [--message-start TEXT]
TEXT: how the repair message of an untrusted injector must begin.
"""
import argparse
import json
import re
import subprocess
import sys

FRAME_BYTES_READ = 4_000_000
DISPLAY_FIELDS = {"id", "label", "x", "y", "width", "height", "primary"}


def fail(what):
    sys.exit(f"smoke: {what}")


def run(command, stdin=None, timeout=30):
    try:
        return subprocess.run(command, input=stdin, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        fail(f"{command[0]} did not end within {timeout} s")


def lines_of(output, program):
    try:
        return [json.loads(line) for line in output.decode().splitlines()]
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        fail(f"{program} wrote a line that is not JSON ({error}): {output!r}")


def check_input(bin_dir, message_start):
    requests = [{"op": "status", "id": 1}, {"op": "move", "x": 1, "y": 1, "id": 2}]
    done = run([f"{bin_dir}/vexel-input"], "".join(json.dumps(r) + "\n" for r in requests).encode())
    if done.returncode != 0 or done.stderr:
        fail(f"vexel-input ended with {done.returncode}, stderr {done.stderr!r}")
    replies = lines_of(done.stdout, "vexel-input")
    if len(replies) != 3:
        fail(f"vexel-input wrote {len(replies)} lines, not a ready line and two replies: {replies}")
    ready, status, move = replies
    if ready.get("ready") is not True or not isinstance(ready.get("trusted"), bool):
        fail(f"ready line {ready}")
    trusted = ready["trusted"]
    if status != {"id": 1, "ok": True, "trusted": trusted}:
        fail(f"status answered {status} after the ready line {ready}")
    if trusted:
        expected_ok = move == {"id": 2, "ok": True}
    else:
        message = move.get("message")
        expected_ok = (
            set(move) == {"id", "ok", "error", "message"}
            and move["id"] == 2
            and move["ok"] is False
            and move["error"] == "accessibility_not_granted"
            and isinstance(message, str)
            and message.startswith(message_start)
            and message != ""
        )
    if not expected_ok:
        fail(f"move answered {move} with trusted {trusted}")
    print(f"smoke: vexel-input trusted {str(trusted).lower()}, move answered {move}")


def refusal(done, program):
    """A stderr line of the program's own with status 1 or 2: no grant here."""
    text = done.stderr.decode(errors="replace")
    if done.returncode in (1, 2) and re.match(rf"{program}: \S", text):
        return text.splitlines()[0]
    return None


def check_roster(bin_dir):
    done = run([f"{bin_dir}/vexel-screencap", "--list-displays"])
    refused = refusal(done, "vexel-screencap")
    if refused is not None and not done.stdout:
        print(f"smoke: roster refused with status {done.returncode}: {refused}")
        return
    if done.returncode != 0:
        fail(f"--list-displays ended with {done.returncode}: {done.stderr!r}")
    (roster,) = lines_of(done.stdout, "vexel-screencap")
    if not isinstance(roster, list) or not roster:
        fail(f"--list-displays printed {roster}, not a list of displays")
    for display in roster:
        if set(display) != DISPLAY_FIELDS:
            fail(f"a display has the fields {sorted(display)}, not {sorted(DISPLAY_FIELDS)}")
    print(f"smoke: roster of {len(roster)} display(s): {roster}")


def check_capture(bin_dir):
    program = subprocess.Popen(
        [f"{bin_dir}/vexel-screencap", "--fps", "5"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    received = 0
    try:
        while received < FRAME_BYTES_READ:
            chunk = program.stdout.read1(FRAME_BYTES_READ - received)
            if not chunk:
                break
            received += len(chunk)
        program.stdout.close()  # as `head -c` does: the program must end by itself
        status = program.wait(timeout=30)
        errors = program.stderr.read()
    except subprocess.TimeoutExpired:
        program.kill()
        fail("vexel-screencap did not end within 30 s of its reader closing the pipe")
    done = subprocess.CompletedProcess(program.args, status, b"", errors)
    refused = refusal(done, "vexel-screencap")
    if refused is not None and received == 0:
        print(f"smoke: capture refused with status {status}: {refused}")
        return
    text = errors.decode(errors="replace")
    dims = re.search(r"^DIMS (\d+) (\d+)$", text, re.MULTILINE)
    if status != 0 or dims is None:
        fail(f"capture ended with {status} after {received} bytes: {text!r}")
    frame = int(dims[1]) * int(dims[2]) * 4
    if received != FRAME_BYTES_READ or not re.search(
        r"^vexel-screencap: stdout closed after \d+ frames — exiting$", text, re.MULTILINE
    ):
        fail(f"capture gave {received} bytes, frames of {frame}: {text!r}")
    print(f"smoke: capture {dims[1]}x{dims[2]}, {received} bytes read ({received / frame:.1f} frames)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--message-start", default="")
    arguments = parser.parse_args()
    check_input(arguments.bin_dir, arguments.message_start)
    check_roster(arguments.bin_dir)
    check_capture(arguments.bin_dir)


main()
