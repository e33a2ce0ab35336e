// The built programs, driven through the client, on a private Xvfb this file starts and stops.
import assert from 'node:assert/strict';
import { spawn, spawnSync, type ChildProcess } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createInterface } from 'node:readline';
import type { Readable } from 'node:stream';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { listDisplays, RequestError, startInput, startScreencap } from 'vexel';

const inputPath = process.env['VEXEL_INPUT'];
const screencapPath = process.env['VEXEL_SCREENCAP'];
const hasXvfb = spawnSync('sh', ['-c', 'command -v Xvfb && command -v xsetroot'], { stdio: 'ignore' }).status === 0;
const missing =
  inputPath === undefined || screencapPath === undefined
    ? 'VEXEL_INPUT and VEXEL_SCREENCAP name the built programs'
    : !hasXvfb
      ? 'Xvfb and xsetroot are installed'
      : undefined;

// In CI a missing piece fails the run; elsewhere these tests are skipped.
if (missing !== undefined && process.env['CI'] === 'true') {
  test('the end-to-end set can run', () => assert.fail(`expected: ${missing}`));
}

function startXvfb(): Promise<{ display: string; server: ChildProcess }> {
  return new Promise((resolve, reject) => {
    const server = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1024x768x24', '-nolisten', 'tcp', '-noreset'], {
      stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
    });
    server.once('error', reject);
    server.once('exit', () => reject(new Error('Xvfb exited')));
    let text = '';
    (server.stdio[3] as Readable).setEncoding('utf8').on('data', (chunk: string) => {
      text += chunk;
      if (text.endsWith('\n')) resolve({ display: `:${text.trim()}`, server });
    });
  });
}

describe('on a private Xvfb', { skip: missing !== undefined && `needs: ${missing}` }, () => {
  let server: ChildProcess | undefined;
  let env: NodeJS.ProcessEnv = {};

  before(async () => {
    const started = await startXvfb();
    server = started.server;
    // Never the caller's own Wayland session.
    env = {
      ...process.env,
      DISPLAY: started.display,
      WAYLAND_DISPLAY: undefined,
      XDG_SESSION_TYPE: undefined,
    };
    assert.equal(spawnSync('xsetroot', ['-solid', '#3366cc'], { env }).status, 0);
  });
  after(() => {
    server?.kill();
  });

  test('the roster names the one screen', async () => {
    assert.deepEqual(await listDisplays({ path: screencapPath, env }), [
      { id: '0', label: 'Main Display (1024x768)', x: 0, y: 0, width: 1024, height: 768, primary: true },
    ]);
  });

  test('frames have the announced size and the screen colour; leaving the loop ends the helper cleanly', async () => {
    const stream = startScreencap({ path: screencapPath, env, width: 320, height: 240, fps: 30 });
    assert.deepEqual(await stream.dims, { width: 320, height: 240 });
    let frames = 0;
    for await (const frame of stream) {
      assert.equal(frame.data.length, 320 * 240 * 4);
      // Top left, away from the pointer (it starts at the centre): B, G, R.
      assert.deepEqual([...frame.data.subarray(0, 3)], [0xcc, 0x66, 0x33]);
      if (++frames === 3) break;
    }
    const end = await stream.stop();
    assert.equal(end.status, 0);
    assert.match(end.line, /^vexel-screencap: stdout closed after \d+ frames — exiting$/);
  });

  test('a click and typed text reach an X client; replies pair with their requests', async () => {
    // Debian's python3-xlib belongs to the system interpreter.
    const python = existsSync('/usr/bin/python3') ? '/usr/bin/python3' : 'python3';
    const client = spawn(python, [fileURLToPath(new URL('../../fixtures/x-client.py', import.meta.url))], {
      env,
      stdio: ['ignore', 'pipe', 'inherit'],
    });
    const events = createInterface({ input: client.stdout })[Symbol.asyncIterator]();
    const nextEvent = async (): Promise<Record<string, unknown>> => {
      const next = await events.next();
      assert.equal(next.done, false, 'the X client ended');
      return JSON.parse(next.value as string) as Record<string, unknown>;
    };
    try {
      assert.deepEqual(await nextEvent(), { ready: true });
      const input = await startInput({ path: inputPath, env });
      assert.equal(input.trusted, true);

      const text = 'Hi wörld ✓\n';
      const [clicked, typed, refused, status] = await Promise.allSettled([
        input.click({ x: 100, y: 120 }),
        input.type({ text }),
        input.key({ key: 'Nope' }),
        input.status(),
      ]);
      assert.deepEqual(clicked, { status: 'fulfilled', value: { ok: true } });
      assert.deepEqual(typed, { status: 'fulfilled', value: { ok: true } });
      assert.ok(refused.status === 'rejected' && refused.reason instanceof RequestError);
      assert.equal(refused.reason.code, 'unknown_key:nope');
      assert.deepEqual(status, { status: 'fulfilled', value: { ok: true, trusted: true } });

      assert.deepEqual(await nextEvent(), { button: 1, x: 100, y: 120 });
      let seen = '';
      while (seen.length < text.length) seen += (await nextEvent())['text'];
      assert.equal(seen, text);
      await input.close();
    } finally {
      client.kill();
    }
  });
});
