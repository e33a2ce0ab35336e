import { spawn, type ChildProcessByStdio } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { mkdtempSync, rmSync } from 'node:fs';
import { createConnection, createServer, type Socket } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import type { Readable } from 'node:stream';
import { clip, HelperExitError, ProtocolError, type ExitInfo } from './errors.js';
import { lineReader } from './lines.js';
import { findProgram } from './locate.js';

const PROGRAM = 'vexel-screencap';
const MAX_LINE = 64 * 1024;
const MAX_ROSTER_BYTES = 1 << 20;
// Far beyond any real display, small enough to allocate.
const MAX_FRAME_BYTES = 1 << 30;
// Where reads land before the DIMS line; one read, then reading pauses.
const EARLY_BYTES = 64 * 1024;

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

type Child = ChildProcessByStdio<null, null, Readable>;

interface Channel {
  /** Our end, reading straight into the buffers `buffer` hands out. */
  reader: Socket;
  /** The end the helper writes its frames to; ours to close once it is spawned. */
  writer: Socket;
}

/**
 * Connects a Unix socket to itself. Unlike the pipe spawn() makes, its
 * reading end takes `onread`, so the kernel copies the frame bytes once,
 * straight to their place in the frame, in reads larger than a stream's.
 */
function openChannel(
  buffer: () => Buffer,
  callback: (count: number, into: Buffer) => boolean,
  done: (error: Error | undefined, channel?: Channel) => void,
): void {
  // A socket's path must stay short (104 bytes on macOS).
  const base = Buffer.byteLength(tmpdir()) > 64 ? '/tmp' : tmpdir();
  let dir: string;
  try {
    // Private to this user: nobody else can connect in our reader's place.
    dir = mkdtempSync(join(base, 'vexel-'));
  } catch (error) {
    process.nextTick(done, error as Error);
    return;
  }
  const server = createServer({ pauseOnConnect: true });
  let reader: Socket | undefined;
  let settled = false;
  const settle = (error: Error | undefined, writer?: Socket) => {
    if (settled) return;
    settled = true;
    server.close();
    rmSync(dir, { recursive: true, force: true });
    if (error !== undefined) {
      writer?.destroy();
      reader?.destroy();
      done(error);
    } else if (reader !== undefined && writer !== undefined) {
      done(undefined, { reader, writer });
    }
  };
  server.once('error', (error) => settle(error));
  server.once('connection', (writer: Socket) => settle(undefined, writer));
  const path = join(dir, 'frames');
  // exclusive: a cluster worker listens itself, not through its primary.
  server.listen({ path, exclusive: true }, () => {
    reader = createConnection({ path, onread: { buffer, callback } });
    reader.on('error', (error) => settle(error));
  });
}

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

  private child: Child | undefined;
  private reader: Socket | undefined;
  private readerClosed = false;
  private childEnd: { status: number | null; signal: NodeJS.Signals | null; spawnError?: Error } | undefined;
  private readonly program: string;
  private readonly reuse: boolean;
  private readonly maxQueued: number;
  private readonly stopTimeoutMs: number;
  private width = 0;
  private height = 0;
  /** Bytes per frame; 0 until the DIMS line. */
  private frameBytes = 0;
  private filling: Buffer | undefined;
  private filled = 0;
  /** The rest of `filling`, handed to the socket for its next read. */
  private view: Buffer | undefined;
  private scratch: Buffer | undefined;
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
  private readonly lines: ReturnType<typeof lineReader>;
  private readonly closed: Promise<StopResult>;
  private resolveClosed!: (result: StopResult) => void;
  private stopping: Promise<StopResult> | undefined;

  /** @internal Use {@link startScreencap}. */
  constructor(program: string, args: string[], options: ScreencapOptions) {
    super();
    this.program = program;
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
    this.closed = new Promise((resolve) => {
      this.resolveClosed = resolve;
    });
    const dimsTimeoutMs = options.dimsTimeoutMs ?? 15_000;
    this.dimsTimer = setTimeout(
      () => this.abort(new ProtocolError(PROGRAM, `no DIMS line within ${dimsTimeoutMs} ms`)),
      dimsTimeoutMs,
    );
    this.lines = lineReader(
      MAX_LINE,
      (line) => this.onLine(line),
      (start) => this.onLine(start),
    );
    const env = options.env ?? process.env;
    openChannel(
      () => this.nextView(),
      (count, into) => this.onRead(count, into),
      (error, channel) => this.launch(args, env, error, channel),
    );
  }

  /** The helper's process id, once it is running (a moment after the start). */
  get pid(): number | undefined {
    return this.child?.pid;
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
      const timer = setTimeout(() => this.child?.kill('SIGKILL'), this.stopTimeoutMs);
      this.stopping = this.closed.then((result) => {
        clearTimeout(timer);
        return result;
      });
    }
    return this.stopping;
  }

  private launch(args: string[], env: NodeJS.ProcessEnv, error?: Error, channel?: Channel): void {
    if (error !== undefined || channel === undefined) {
      this.readerClosed = true;
      this.onChildClose(null, null, error ?? new Error('no frame channel'));
      return;
    }
    const { reader, writer } = channel;
    this.reader = reader;
    reader.once('close', () => {
      this.readerClosed = true;
      this.maybeEnd();
    });
    if (this.pipeClosed) reader.destroy();
    let child: Child;
    try {
      child = spawn(this.program, args, { env, stdio: ['ignore', writer, 'pipe'] });
    } catch (spawnError) {
      reader.destroy();
      this.onChildClose(null, null, spawnError as Error);
      return;
    } finally {
      // The helper holds its own copy now; ours would keep the stream open.
      writer.destroy();
    }
    this.child = child;
    if (this.failure !== undefined) child.kill('SIGKILL');
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text: string) => this.lines.push(text));
    let spawnError: Error | undefined;
    child.once('error', (problem) => {
      spawnError = problem;
    });
    child.once('close', (status, signal) => this.onChildClose(status, signal, spawnError));
  }

  private onChildClose(status: number | null, signal: NodeJS.Signals | null, spawnError?: Error): void {
    clearTimeout(this.dimsTimer);
    const rest = this.lines.rest();
    if (rest !== '') this.onLine(rest);
    this.childEnd = spawnError === undefined ? { status, signal } : { status, signal, spawnError };
    // Bytes held back for a DIMS line that can no longer come are dropped.
    if (this.frameBytes === 0) this.reader?.destroy();
    this.maybeEnd();
  }

  // The end comes once the helper is gone and every byte it wrote has been read.
  private maybeEnd(): void {
    if (this.childEnd === undefined || !this.readerClosed || this.ended) return;
    const { status, signal, spawnError } = this.childEnd;
    const result: StopResult = { status, signal, line: this.lastLine };
    if (spawnError !== undefined) {
      this.failure ??= startFailure(this.program, spawnError);
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
    this.view = undefined;
    if (this.waiter !== undefined) this.finish(this.waiter);
    this.emit('exit', result);
    this.resolveClosed(result);
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
    this.view = undefined;
    this.reader?.destroy();
    if (this.waiter !== undefined) this.finish(this.waiter);
  }

  private abort(error: Error): void {
    this.failure ??= error;
    if (this.dimsPending) {
      this.dimsPending = false;
      this.refuseDims(error);
    }
    this.child?.kill('SIGKILL');
  }

  private resumeIfRoom(): void {
    if (this.frameBytes > 0 && !this.pipeClosed && this.queue.length < this.maxQueued) this.reader?.resume();
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

  // Where the socket's next read lands: the unfilled rest of the frame.
  private nextView(): Buffer {
    if (this.frameBytes === 0 || this.pipeClosed || this.ended) {
      this.scratch ??= Buffer.allocUnsafe(EARLY_BYTES);
      return this.scratch;
    }
    if (this.filling === undefined) {
      this.filling = this.spare.pop() ?? Buffer.allocUnsafe(this.frameBytes);
      this.filled = 0;
    }
    this.view = this.filling.subarray(this.filled);
    return this.view;
  }

  /** Returns false to pause reading. */
  private onRead(count: number, into: Buffer): boolean {
    if (this.pipeClosed || this.ended) return false;
    if (into === this.view) {
      this.view = undefined;
      this.filled += count;
      if (this.filled === this.frameBytes) this.deliver();
    } else if (this.frameBytes === 0) {
      // Frame bytes can overtake the DIMS line (two channels): hold them.
      this.early.push(Buffer.from(into.subarray(0, count)));
      return false;
    } else {
      this.cut(into.subarray(0, count));
    }
    return this.queue.length < this.maxQueued;
  }

  private deliver(): void {
    const data = this.filling;
    if (data === undefined) return;
    this.filling = undefined;
    const waiter = this.waiter;
    if (waiter !== undefined) {
      this.waiter = undefined;
      waiter.resolve({ value: this.lend(data), done: false });
    } else {
      this.queue.push(data);
    }
  }

  // Copies bytes that did not land in place (those read before the DIMS line).
  private cut(chunk: Buffer): void {
    this.view = undefined;
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
      if (this.filled === this.frameBytes) this.deliver();
    }
  }
}

/**
 * Starts `vexel-screencap` in capture mode and returns the stream without
 * waiting for it. The helper runs as soon as its frame socket is connected,
 * within a few turns of the event loop; `pid` is known from then on.
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
