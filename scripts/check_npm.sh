#!/usr/bin/env bash
# Installs the npm packages from dist/ into an empty project, offline, and
# drives the programs they carry through the client on a private Xvfb, with
# nothing of the build tree on PATH.
set -euo pipefail
dist=$(realpath "$(dirname "$0")/../dist")
host=$(mktemp -d)
trap 'rm -rf "$host"' EXIT
cd "$host"
echo '{ "name": "host", "version": "1.0.0", "private": true, "type": "module" }' >package.json
npm install --offline --no-audit --no-fund "$dist"/vexel-[0-9]*.tgz "$dist"/vexel-linux-x64-*.tgz >/dev/null
cat >smoke.mjs <<'JS'
import assert from 'node:assert/strict';
import { findProgram, listDisplays, startInput, startScreencap } from 'vexel';

const bundled = new URL('node_modules/vexel-linux-x64/bin/', import.meta.url).pathname;
for (const name of ['vexel-input', 'vexel-screencap']) assert.equal(findProgram(name), bundled + name);
const input = await startInput();
assert.equal(input.trusted, true);
await input.move({ x: 10, y: 20 });
assert.deepEqual(await input.status(), { ok: true, trusted: true });
await input.close();
const [display] = await listDisplays();
assert.equal(display.width, 1024);
const stream = startScreencap({ width: 320, height: 240, fps: 10 });
for await (const frame of stream) {
  assert.equal(frame.data.length, 320 * 240 * 4);
  break;
}
assert.equal((await stream.stop()).status, 0);
console.log('check_npm: the installed packages found and drove both programs');
JS
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
node=$(command -v node)
PATH=/usr/bin:/bin xvfb-run -a -s '-screen 0 1024x768x24' "$node" smoke.mjs
