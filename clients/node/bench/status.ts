// Pipelined "status" requests per second, through the client and over the bare pipes.
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import { startInput } from 'vexel';

const count = Number(process.argv[2] ?? '100000');
const program = process.env['VEXEL_INPUT'] ?? 'vexel-input';

async function viaClient(): Promise<number> {
  const input = await startInput({ path: program });
  const start = process.hrtime.bigint();
  const replies = await Promise.all(Array.from({ length: count }, () => input.status()));
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  if (!replies.every((reply) => reply.ok)) throw new Error('a status failed');
  await input.close();
  return seconds;
}

async function bare(): Promise<number> {
  const child = spawn(program, [], { stdio: ['pipe', 'pipe', 'ignore'] });
  const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  await lines.next(); // the ready line
  const start = process.hrtime.bigint();
  child.stdin.end('{"op":"status","id":1}\n'.repeat(count));
  for (let seen = 0; seen < count; seen++) {
    if ((await lines.next()).done === true) throw new Error('reply missing');
  }
  return Number(process.hrtime.bigint() - start) / 1e9;
}

for (const [name, run] of [
  ['client', viaClient],
  ['bare pipes', bare],
] as const) {
  const seconds = await run();
  console.log(`${name.padEnd(10)} ${count} status requests in ${seconds.toFixed(2)} s: ${Math.round(count / seconds)} per second`);
}
