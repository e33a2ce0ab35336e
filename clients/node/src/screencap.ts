import { spawn, type ChildProcessByStdio } from 'node:child_process';
import { EventEmitter } from 'node:events';
import type { Readable } from 'node:stream';
import { clip, HelperExitError, ProtocolError, type ExitInfo } from './errors.js';
import { lineReader } from './lines.js';
import { findProgram } from './locate.js';

const PROGRAM = 'vexel-screencap';
const MAX_LINE = 64 * 1024;
const MAX_ROSTER_BYTES = 1 << 20;
// Far beyond any real display, small enough to allocate.
const MAX_FRAME_BYTES = 1 << 30;

/** One entry of the display roster. */
export interface Display {
  /** Its position in the roster, as text; pass `Number(id)` as `display`. */
  id: string;
  label: string;
  /** Origin in global display coordinates. */
  x: number;
  y: number;
  width: number;
  height: number;
  primary: boolean;
}

interface ProgramOptions {
  /** The program; by default found next to this package, then on PATH. */
  path?: string | undefined;
  /** The helper's environment (DISPLAY on X11); default this process's. */
  env?: NodeJS.ProcessEnv | undefined;
}

export interface ListOptions extends ProgramOptions {
  /** Stop the helper and reject when it has not finished within this many ms; default 10000. */
  timeoutMs?: number | undefined;
}

export interface ScreencapOptions extends ProgramOptions {
  width?: number | undefined;
  height?: number | undefined;
  fps?: number | undefined;
  /** A position in the roster. */
  display?: number | undefined;
  /**
   * Let the iterator hand out the same few buffers again: a frame's `data`
   * is then valid only until the next frame is asked for. Saves an
   * allocation per frame.
   */
  reuseBuffers?: boolean | undefined;
  /** Whole frames held for a slow consumer before the pipe is paused; default 2. */
  maxQueuedFrames?: number | undefined;
  /** Stop the helper when no DIMS line has come within this many ms; default 15000. */
  dimsTimeoutMs?: number | undefined;
  /** How long stop() waits for the helper to exit before killing it; default 5000 ms. */
  stopTimeoutMs?: number | undefined;
}

export interface Dims {
  width: number;
  height: number;
}

/** One frame: `width` × `height` pixels, 4 bytes each (B, G, R, A), rows top first, no padding. */
export interface Frame extends Dims {
  data: Buffer;
}

/** How the stream ended, with the helper's last diagnostic line. */
export interface StopResult extends ExitInfo {
  line: string;
}

function isObject(value: unknown): value is Record<string, unknown> {
  return typeof value === 'object' && value !== null && !Array.isArray(value);
}

function parseRoster(text: string): Display[] {
  let value: unknown;
  try {
    value = JSON.parse(text);
  } catch {
    value = undefined;
  }
  if (!Array.isArray(value)) throw new ProtocolError(PROGRAM, `expected a roster, got ${clip(text)}`);
  return value.map((entry: unknown) => {
    const ok =
      isObject(entry) &&
      typeof entry['id'] === 'string' &&
      typeof entry['label'] === 'string' &&
      ['x', 'y', 'width', 'height'].every((key) => Number.isInteger(entry[key])) &&
      typeof entry['primary'] === 'boolean';
    if (!ok) throw new ProtocolError(PROGRAM, `malformed roster entry ${clip(JSON.stringify(entry))}`);
    const { id, label, x, y, width, height, primary } = entry as unknown as Display;
    return { id, label, x, y, width, height, primary };
  });
}

function integerOption(name: string, value: number | undefined): string[] {
  if (value === undefined) return [];
  if (!Number.isSafeInteger(value)) throw new TypeError(`${PROGRAM}: ${name} must be an integer, got ${String(value)}`);
  return [`--${name}`, String(value)];
}

function startFailure(program: string, error: Error): Error {
  return new Error(`${PROGRAM} could not be started (${program}): ${error.message}`);
}

/**
 * Runs `vexel-screencap --list-displays` and resolves with the roster. Rejects
 * with a {@link HelperExitError} carrying the exit status and the diagnostic
 * line when the helper fails.
 */
export function listDisplays(options: ListOptions = {}): Promise<Display[]> {
  return new Promise((resolve, reject) => {
    const env = options.env ?? process.env;
    const program = findProgram(PROGRAM, options.path, env);
    const child = spawn(program, ['--list-displays'], { env, stdio: ['ignore', 'pipe', 'pipe'] });
    const chunks: Buffer[] = [];
    let bytes = 0;
    let problem: Error | undefined;
    let lastLine = '';
    const lines = lineReader(
      MAX_LINE,
      (line) => {
        if (line !== '') lastLine = line;
      },
      (start) => {
        lastLine = start;
      },
    );
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text: string) => lines.push(text));
    child.stdout.on('data', (chunk: Buffer) => {
      bytes += chunk.length;
      if (bytes <= MAX_ROSTER_BYTES) {
        chunks.push(chunk);
      } else if (problem === undefined) {
        problem = new ProtocolError(PROGRAM, `roster longer than ${MAX_ROSTER_BYTES} bytes`);
        child.kill('SIGKILL');
      }
    });
    const timeoutMs = options.timeoutMs ?? 10_000;
    const timer = setTimeout(() => {
      problem ??= new ProtocolError(PROGRAM, `--list-displays did not finish within ${timeoutMs} ms`);
      child.kill('SIGKILL');
    }, timeoutMs);
    let spawnError: Error | undefined;
    child.once('error', (error) => {
      spawnError = error;
    });
    child.once('close', (status, signal) => {
      clearTimeout(timer);
      const rest = lines.rest();
      if (rest !== '') lastLine = rest;
      if (spawnError !== undefined) reject(startFailure(program, spawnError));
      else if (problem !== undefined) reject(problem);
      else if (status !== 0) reject(new HelperExitError(PROGRAM, { status, signal }, lastLine, 'listing displays'));
      else {
        try {
          resolve(parseRoster(Buffer.concat(chunks).toString('utf8')));
        } catch (error) {
          reject(error);
        }
      }
    });
  });
}

type Child = ChildProcessByStdio<null, Readable, Readable>;

interface Waiter {
  resolve: (result: IteratorResult<Frame>) => void;
  reject: (error: Error) => void;
}

const DONE: IteratorResult<Frame> = { value: undefined, done: true };

/**
 * A running capture. Iterate it for whole frames; the size is in `dims`,
 * each stderr line comes as a "line" event, and "exit" reports the end.
 * Breaking out of a `for await` loop closes the pipe like {@link stop}.
 */
export class ScreencapStream extends EventEmitter implements AsyncIterable<Frame>, AsyncIterator<Frame> {
  /** The frame size from the DIMS line; rejects if the helper ends or misbehaves first. */
  readonly dims: Promise<Dims>;
  readonly pid: number | undefined;

  private readonly child: Child;
  private readonly reuse: boolean;
  private readonly maxQueued: number;
  private readonly stopTimeoutMs: number;
  private width = 0;
  private height = 0;
  /** Bytes per frame; 0 until the DIMS line. */
  private frameBytes = 0;
  private filling: Buffer | undefined;
  private filled = 0;
  private readonly queue: Buffer[] = [];
  private readonly spare: Buffer[] = [];
  private lent: Buffer | undefined;
  private early: Buffer[] = [];
  private waiter: Waiter | undefined;
  private pipeClosed = false;
  private ended = false;
  private failure: Error | undefined;
  private failureReported = false;
  private lastLine = '';
  private dimsPending = true;
  private settleDims!: (dims: Dims) => void;
  private refuseDims!: (error: Error) => void;
  private readonly dimsTimer: NodeJS.Timeout;
  private readonly closed: Promise<StopResult>;
  private stopping: Promise<StopResult> | undefined;

  /** @internal Use {@link startScreencap}. */
  constructor(program: string, args: string[], options: ScreencapOptions) {
    super();
    this.reuse = options.reuseBuffers === true;
    this.maxQueued = options.maxQueuedFrames ?? 2;
    this.stopTimeoutMs = options.stopTimeoutMs ?? 5000;
    if (!Number.isSafeInteger(this.maxQueued) || this.maxQueued < 1) {
      throw new TypeError(`${PROGRAM}: maxQueuedFrames must be a positive integer`);
    }
    this.dims = new Promise<Dims>((resolve, reject) => {
      this.settleDims = resolve;
      this.refuseDims = reject;
    });
    // A host that never looks at dims must not see an unhandled rejection.
    this.dims.catch(() => {});

    this.child = spawn(program, args, { env: options.env ?? process.env, stdio: ['ignore', 'pipe', 'pipe'] });
    this.pid = this.child.pid;
    const dimsTimeoutMs = options.dimsTimeoutMs ?? 15_000;
    this.dimsTimer = setTimeout(
      () => this.abort(new ProtocolError(PROGRAM, `no DIMS line within ${dimsTimeoutMs} ms`)),
      dimsTimeoutMs,
    );

    const lines = lineReader(
      MAX_LINE,
      (line) => this.onLine(line),
      (start) => this.onLine(start),
    );
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (text: string) => lines.push(text));
    this.child.stdout.on('data', (chunk: Buffer) => this.onData(chunk));
    this.child.stdout.on('error', () => {});

    let spawnError: Error | undefined;
    this.child.once('error', (error) => {
      spawnError = error;
    });
    this.closed = new Promise((resolve) => {
      this.child.once('close', (status, signal) => {
        clearTimeout(this.dimsTimer);
        const rest = lines.rest();
        if (rest !== '') this.onLine(rest);
        const result: StopResult = { status, signal, line: this.lastLine };
        if (spawnError !== undefined) {
          this.failure ??= startFailure(program, spawnError);
          result.line = spawnError.message;
        } else if (!this.pipeClosed && !(status === 0 && signal === null)) {
          this.failure ??= new HelperExitError(PROGRAM, result, this.lastLine, 'while streaming');
        }
        if (this.dimsPending) {
          this.dimsPending = false;
          this.refuseDims(this.failure ?? new HelperExitError(PROGRAM, result, this.lastLine, 'before its DIMS line'));
        }
        this.ended = true;
        this.filling = undefined;
        if (this.waiter !== undefined) this.finish(this.waiter);
        this.emit('exit', result);
        resolve(result);
      });
    });
  }

  [Symbol.asyncIterator](): AsyncIterator<Frame> {
    return this;
  }

  next(): Promise<IteratorResult<Frame>> {
    if (this.lent !== undefined) {
      this.spare.push(this.lent);
      this.lent = undefined;
    }
    if (this.waiter !== undefined) return Promise.reject(new Error(`${PROGRAM}: next() while a frame is awaited`));
    if (this.pipeClosed) return Promise.resolve(DONE);
    const data = this.queue.shift();
    this.resumeIfRoom();
    if (data !== undefined) return Promise.resolve({ value: this.lend(data), done: false });
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject };
      if (this.ended) this.finish(waiter);
      else this.waiter = waiter;
    });
  }

  /** Called when a `for await` loop is left early: closes the pipe, as stop() does. */
  return(): Promise<IteratorResult<Frame>> {
    this.closePipe();
    return Promise.resolve(DONE);
  }

  /**
   * Closes the pipe, which makes the helper write its closing line and exit
   * with status 0, and resolves with how it ended. A helper that has not
   * exited after `stopTimeoutMs` is killed.
   */
  stop(): Promise<StopResult> {
    if (this.stopping === undefined) {
      this.closePipe();
      const timer = setTimeout(() => this.child.kill('SIGKILL'), this.stopTimeoutMs);
      this.stopping = this.closed.then((result) => {
        clearTimeout(timer);
        return result;
      });
    }
    return this.stopping;
  }

  private lend(data: Buffer): Frame {
    if (this.reuse) this.lent = data;
    return { width: this.width, height: this.height, data };
  }

  private finish(waiter: Waiter): void {
    this.waiter = undefined;
    if (this.failure !== undefined && !this.failureReported && !this.pipeClosed) {
      this.failureReported = true;
      waiter.reject(this.failure);
    } else {
      waiter.resolve(DONE);
    }
  }

  private closePipe(): void {
    if (this.pipeClosed) return;
    this.pipeClosed = true;
    this.queue.length = 0;
    this.early = [];
    this.filling = undefined;
    this.child.stdout.destroy();
    if (this.waiter !== undefined) this.finish(this.waiter);
  }

  private abort(error: Error): void {
    this.failure ??= error;
    if (this.dimsPending) {
      this.dimsPending = false;
      this.refuseDims(error);
    }
    this.child.kill('SIGKILL');
  }

  private resumeIfRoom(): void {
    if (this.frameBytes > 0 && !this.pipeClosed && this.queue.length < this.maxQueued) this.child.stdout.resume();
  }

  private onLine(line: string): void {
    if (line !== '') this.lastLine = line;
    if (this.dimsPending && line.startsWith('DIMS ')) this.onDims(line);
    this.emit('line', line);
  }

  private onDims(line: string): void {
    const match = /^DIMS ([1-9][0-9]{0,8}) ([1-9][0-9]{0,8})$/.exec(line);
    const width = Number(match?.[1]);
    const height = Number(match?.[2]);
    if (match === null || width * height * 4 > MAX_FRAME_BYTES) {
      this.abort(new ProtocolError(PROGRAM, `bad DIMS line ${clip(line)}`));
      return;
    }
    clearTimeout(this.dimsTimer);
    this.dimsPending = false;
    this.width = width;
    this.height = height;
    this.frameBytes = width * height * 4;
    this.settleDims({ width, height });
    const early = this.early;
    this.early = [];
    for (const chunk of early) this.cut(chunk);
    this.resumeIfRoom();
  }

  private onData(chunk: Buffer): void {
    if (this.pipeClosed) return;
    if (this.frameBytes === 0) {
      // Frame bytes can overtake the DIMS line (two pipes): hold them.
      this.early.push(chunk);
      this.child.stdout.pause();
      return;
    }
    this.cut(chunk);
  }

  private cut(chunk: Buffer): void {
    let pos = 0;
    while (pos < chunk.length) {
      if (this.filling === undefined) {
        this.filling = this.spare.pop() ?? Buffer.allocUnsafe(this.frameBytes);
        this.filled = 0;
      }
      const count = Math.min(this.frameBytes - this.filled, chunk.length - pos);
      chunk.copy(this.filling, this.filled, pos, pos + count);
      pos += count;
      this.filled += count;
      if (this.filled === this.frameBytes) {
        const data = this.filling;
        this.filling = undefined;
        const waiter = this.waiter;
        if (waiter !== undefined) {
          this.waiter = undefined;
          waiter.resolve({ value: this.lend(data), done: false });
        } else {
          this.queue.push(data);
        }
      }
    }
    if (this.queue.length >= this.maxQueued) this.child.stdout.pause();
  }
}

/**
 * Starts `vexel-screencap` in capture mode at once and returns the stream
 * without waiting for it.
 */
export function startScreencap(options: ScreencapOptions = {}): ScreencapStream {
  const args = [
    ...integerOption('width', options.width),
    ...integerOption('height', options.height),
    ...integerOption('fps', options.fps),
    ...integerOption('display', options.display),
  ];
  const program = findProgram(PROGRAM, options.path, options.env ?? process.env);
  return new ScreencapStream(program, args, options);
}
