// Failure paths, against a scripted stand-in for the helpers.
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';
import {
  findProgram,
  HelperExitError,
  listDisplays,
  ProtocolError,
  RequestError,
  startInput,
  startScreencap,
} from 'vexel';

const fake = fileURLToPath(new URL('../../fixtures/fake-helper.mjs', import.meta.url));
const as = (mode: string) => ({ path: fake, env: { ...process.env, FAKE: mode } });
const closingLine = /^vexel-screencap: stdout closed after (\d+) frames — exiting$/;

test('programs are found by explicit path, then on PATH, skipping files that cannot run', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'vexel-find-'));
  try {
    // Two PATH entries hold the name; the first copy is not executable.
    for (const [sub, mode] of [
      ['a', 0o644],
      ['b', 0o755],
    ] as const) {
      mkdirSync(join(dir, sub));
      writeFileSync(join(dir, sub, 'vexel-input'), '#!/bin/sh\n', { mode });
    }
    const env = { PATH: `${join(dir, 'a')}:${join(dir, 'b')}` };
    assert.equal(findProgram('vexel-input', undefined, env), join(dir, 'b', 'vexel-input'));
    assert.equal(findProgram('vexel-input', '/opt/x/vexel-input', env), '/opt/x/vexel-input');
    assert.throws(() => findProgram('vexel-screencap', undefined, env), /vexel-screencap not found/);
    await assert.rejects(startInput({ path: join(dir, 'missing') }), /vexel-input could not be started/);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});

test('input: a crash mid-request rejects that request, the ones behind it and every later call', async () => {
  const input = await startInput(as('input-crash'));
  const moved = input.move({ x: 1, y: 2 });
  const typed = input.type({ text: 'x' });
  const behind = input.status();
  assert.deepEqual(await moved, { ok: true });
  const crashed = (e: unknown) => e instanceof HelperExitError && e.signal === 'SIGSEGV';
  await assert.rejects(typed, crashed);
  await assert.rejects(behind, crashed);
  await assert.rejects(input.status(), crashed);
  await assert.rejects(input.close(), HelperExitError);
});

test('input: a line that is not the ready line or a reply stops the helper', async () => {
  await assert.rejects(startInput(as('input-garbage-ready')), /expected the ready line/);
  const input = await startInput(as('input-garbage-reply'));
  await assert.rejects(input.click({ x: 1, y: 1 }), (e) => e instanceof ProtocolError && /stray library/.test(e.message));
  await assert.rejects(input.status(), ProtocolError);
  await assert.rejects(input.close(), ProtocolError);
});

test('input: a refused request carries the error string and the repair text', async () => {
  const input = await startInput(as('input-untrusted'));
  assert.equal(input.trusted, false);
  assert.deepEqual(await input.status(), { ok: true, trusted: false });
  await assert.rejects(
    input.key({ key: 't', modifiers: ['cmd'] }),
    (e) => e instanceof RequestError && e.code === 'accessibility_not_granted' && e.hint === 'grant it',
  );
  await input.close();
});

for (const reuseBuffers of [false, true]) {
  test(`capture: frames stay whole across odd chunks and bytes ahead of DIMS (reuseBuffers ${reuseBuffers})`, async () => {
    const stream = startScreencap({ ...as('cap-slow'), reuseBuffers });
    const lines: string[] = [];
    stream.on('line', (line: string) => lines.push(line));
    assert.deepEqual(await stream.dims, { width: 4, height: 2 });
    let index = 0;
    for await (const frame of stream) {
      assert.equal(frame.data.length, 4 * 2 * 4);
      await sleep(30); // the helper goes on writing meanwhile
      assert.ok(
        frame.data.every((byte) => byte === index + 1),
        `frame ${index}: ${frame.data.toString('hex')}`,
      );
      if (++index === 4) break;
    }
    const end = await stream.stop();
    assert.equal(end.status, 0);
    assert.match(end.line, closingLine);
    assert.ok(lines.includes('DIMS 4 2'));
  });
}

test('capture: a slow consumer holds the helper back instead of buffering frames', async () => {
  const stream = startScreencap(as('cap-flood'));
  await stream[Symbol.asyncIterator]().next();
  await sleep(500);
  const end = await stream.stop();
  const written = Number(closingLine.exec(end.line)?.[1]);
  // A pipe and a few frames of slack, where a free-running reader takes thousands.
  assert.ok(written < 32, `${written} frames of 16 KiB written in 0.5 s`);
});

for (const { mode, frames, status, line } of [
  { mode: 'cap-crash', frames: 1, status: 1, line: /X server gone$/ },
  { mode: 'cap-no-dims', frames: 0, status: 2, line: /did not start/ },
]) {
  test(`capture: a helper that fails (${mode}) ends the frames with its status and line, no partial frame`, async () => {
    const stream = startScreencap(as(mode));
    const failed = (e: unknown) => e instanceof HelperExitError && e.status === status && line.test(e.line);
    let seen = 0;
    await assert.rejects(async () => {
      for await (const frame of stream) {
        assert.equal(frame.data.length, 32);
        seen += 1;
      }
    }, failed);
    assert.equal(seen, frames);
    if (frames === 0) await assert.rejects(stream.dims, failed);
    const end = await stream.stop();
    assert.equal(end.status, status);
    assert.match(end.line, line);
  });
}

test('roster: a failing or garbled helper rejects with its status and line', async () => {
  await assert.rejects(
    listDisplays(as('list-fail')),
    (e) => e instanceof HelperExitError && e.status === 1 && /could not query shareable content/.test(e.line),
  );
  await assert.rejects(listDisplays(as('list-garbage')), ProtocolError);
});
