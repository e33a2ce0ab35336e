// Reads a 1920x1080@30 stream for a while, through the client or as plain
// bytes, and prints frames per second and the CPU of the reader and the helper.
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { startScreencap } from 'vexel';

const [mode = 'client', secondsText = '10'] = process.argv.slice(2);
const seconds = Number(secondsText);
const program = process.env['VEXEL_SCREENCAP'] ?? 'vexel-screencap';
const size = { width: 1920, height: 1080, fps: 30 };
const frameBytes = size.width * size.height * 4;

// utime + stime of a process, in seconds (clock ticks of 10 ms).
function cpuOf(pid: number): number {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1]?.split(' ') ?? [];
  return (Number(fields[11]) + Number(fields[12])) / 100;
}

interface Window {
  frames: number;
  wall: number;
  reader: number;
  helper: number;
}

// Starts measuring at the first frame, stops after `seconds`.
function meter(pid: number) {
  let start: { at: bigint; reader: NodeJS.CpuUsage; helper: number; frames: number } | undefined;
  return {
    tick(frames: number): Window | undefined {
      if (start === undefined) {
        start = { at: process.hrtime.bigint(), reader: process.cpuUsage(), helper: cpuOf(pid), frames };
        return undefined;
      }
      const wall = Number(process.hrtime.bigint() - start.at) / 1e9;
      if (wall < seconds) return undefined;
      const used = process.cpuUsage(start.reader);
      return {
        frames: frames - start.frames,
        wall,
        reader: (used.user + used.system) / 1e6,
        helper: cpuOf(pid) - start.helper,
      };
    },
  };
}

async function viaClient(reuseBuffers: boolean): Promise<Window> {
  const stream = startScreencap({ path: program, ...size, reuseBuffers });
  const clock = meter(stream.pid ?? 0);
  let frames = 0;
  let result: Window | undefined;
  for await (const frame of stream) {
    if (frame.data.length !== frameBytes) throw new Error('short frame');
    result = clock.tick(++frames);
    if (result !== undefined) break;
  }
  await stream.stop();
  if (result === undefined) throw new Error('stream ended early');
  return result;
}

function plain(): Promise<Window> {
  return new Promise((resolve, reject) => {
    const child = spawn(program, ['--width', '1920', '--height', '1080', '--fps', '30'], {
      stdio: ['ignore', 'pipe', 'ignore'],
    });
    const clock = meter(child.pid ?? 0);
    let bytes = 0;
    let frames = 0;
    child.stdout.on('data', (chunk: Buffer) => {
      bytes += chunk.length;
      if (bytes < (frames + 1) * frameBytes) return;
      frames = Math.floor(bytes / frameBytes);
      const result = clock.tick(frames);
      if (result !== undefined) {
        child.stdout.destroy();
        resolve(result);
      }
    });
    child.once('close', () => reject(new Error('stream ended early')));
  });
}

const result = mode === 'plain' ? await plain() : await viaClient(mode === 'client-reuse');
const pct = (cpu: number) => ((100 * cpu) / result.wall).toFixed(1);
console.log(
  `${mode.padEnd(13)} ${(result.frames / result.wall).toFixed(2).padStart(6)} fps` +
    `  reader CPU ${pct(result.reader).padStart(5)} %  helper CPU ${pct(result.helper).padStart(5)} %` +
    `  total ${pct(result.reader + result.helper).padStart(5)} %`,
);
