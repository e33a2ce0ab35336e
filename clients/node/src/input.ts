import { spawn, type ChildProcessByStdio } from 'node:child_process';
import { EventEmitter } from 'node:events';
import type { Readable, Writable } from 'node:stream';
import { clip, HelperExitError, ProtocolError, RequestError, type ExitInfo } from './errors.js';
import { lineReader } from './lines.js';
import { findProgram } from './locate.js';

const PROGRAM = 'vexel-input';
// Replies are short; anything this long is not a reply.
const MAX_LINE = 1 << 20;

/** Any string is accepted; names other than these mean the left button. */
export type Button = 'left' | 'right' | 'middle' | (string & {});
export type Modifier =
  | 'cmd'
  | 'command'
  | 'meta'
  | 'win'
  | 'shift'
  | 'alt'
  | 'option'
  | 'ctrl'
  | 'control'
  | (string & {});

export interface MoveRequest {
  x: number;
  y: number;
}
export interface ClickRequest extends MoveRequest {
  button?: Button | undefined;
  /** 1 to 3; default 1. */
  count?: number | undefined;
}
export interface ButtonRequest extends MoveRequest {
  button?: Button | undefined;
}
export interface DragRequest {
  fromX: number;
  fromY: number;
  toX: number;
  toY: number;
  button?: Button | undefined;
}
export interface ScrollRequest extends MoveRequest {
  /** Pixels; positive scrolls left. */
  dx?: number | undefined;
  /** Pixels; positive scrolls up. */
  dy?: number | undefined;
}
export interface TypeRequest {
  text: string;
}
export interface KeyRequest {
  key: string;
  modifiers?: readonly Modifier[] | undefined;
}

export interface Reply {
  ok: true;
}
export interface StatusReply extends Reply {
  trusted: boolean;
}

export interface InputOptions {
  /** The program; by default found next to this package, then on PATH. */
  path?: string | undefined;
  /** The helper's environment (DISPLAY on X11); default this process's. */
  env?: NodeJS.ProcessEnv | undefined;
  /** Give up (and stop the helper) when the ready line has not come within this many ms; 0 waits for ever. */
  readyTimeoutMs?: number | undefined;
}

interface Pending {
  id: number;
  op: string;
  resolve: (reply: Record<string, unknown>) => void;
  reject: (error: Error) => void;
}

type Child = ChildProcessByStdio<Writable, Readable, null>;

function isObject(value: unknown): value is Record<string, unknown> {
  return typeof value === 'object' && value !== null && !Array.isArray(value);
}

/**
 * A running vexel-input. Requests are written at once (pipelined) and their
 * promises settle in order as the replies come back. Emits "exit" with an
 * {@link ExitInfo} when the helper has ended.
 */
export class InputClient extends EventEmitter {
  /** Whether the helper may post events (from its ready line). */
  trusted = false;
  readonly pid: number | undefined;

  private readonly child: Child;
  /** Requests awaiting their reply, oldest first from `head`. */
  private pending: Pending[] = [];
  private head = 0;
  private nextId = 1;
  private corked = false;
  /** Set once nothing more can be asked: the reason later calls are refused. */
  private failure: Error | undefined;
  private closing = false;
  private exit: ExitInfo | undefined;
  private readonly exited: Promise<ExitInfo>;
  private onReady: ((error?: Error) => void) | undefined;

  /** @internal Use {@link startInput}. */
  constructor(program: string, env: NodeJS.ProcessEnv | undefined) {
    super();
    this.child = spawn(program, [], { env: env ?? process.env, stdio: ['pipe', 'pipe', 'ignore'] });
    this.pid = this.child.pid;
    this.exited = new Promise((resolve) => {
      let spawnError: Error | undefined;
      this.child.once('error', (error) => {
        spawnError = error;
      });
      // "close" comes after the last reply has been read, so none is lost.
      this.child.once('close', (status, signal) => {
        const exit: ExitInfo = spawnError !== undefined ? { status: null, signal: null } : { status, signal };
        this.exit = exit;
        const error =
          spawnError !== undefined
            ? new Error(`${PROGRAM} could not be started (${program}): ${spawnError.message}`)
            : new HelperExitError(
                PROGRAM,
                exit,
                '',
                this.waiting() > 0 ? `with ${this.waiting()} request(s) unanswered` : '',
              );
        this.fail(this.failure ?? error);
        this.emit('exit', exit);
        resolve(exit);
      });
    });
    // A helper that died makes writes fail; the close handler reports it.
    this.child.stdin.on('error', () => {});
    this.child.stdout.setEncoding('utf8');
    const lines = lineReader(
      MAX_LINE,
      (line) => this.onLine(line),
      (start) => this.violate(`reply line longer than ${MAX_LINE} characters: ${clip(start)}`),
    );
    this.child.stdout.on('data', (text: string) => lines.push(text));
  }

  /** @internal Resolves with the ready line's verdict. */
  ready(timeoutMs: number): Promise<void> {
    return new Promise((resolve, reject) => {
      const timer =
        timeoutMs > 0
          ? setTimeout(() => this.violate(`no ready line within ${timeoutMs} ms`), timeoutMs)
          : undefined;
      this.onReady = (error) => {
        clearTimeout(timer);
        this.onReady = undefined;
        if (error === undefined) resolve();
        else reject(error);
      };
    });
  }

  move(request: MoveRequest): Promise<Reply> {
    return this.send<Reply>('move', request);
  }
  click(request: ClickRequest): Promise<Reply> {
    return this.send<Reply>('click', request);
  }
  down(request: ButtonRequest): Promise<Reply> {
    return this.send<Reply>('down', request);
  }
  up(request: ButtonRequest): Promise<Reply> {
    return this.send<Reply>('up', request);
  }
  drag(request: DragRequest): Promise<Reply> {
    return this.send<Reply>('drag', request);
  }
  scroll(request: ScrollRequest): Promise<Reply> {
    return this.send<Reply>('scroll', request);
  }
  type(request: TypeRequest): Promise<Reply> {
    return this.send<Reply>('type', request);
  }
  key(request: KeyRequest): Promise<Reply> {
    return this.send<Reply>('key', request);
  }
  status(): Promise<StatusReply> {
    return this.send<StatusReply>('status', {});
  }

  /**
   * Ends the helper's input and waits for it to answer what is pending and
   * exit. Rejects unless it exits with status 0.
   */
  async close(): Promise<void> {
    if (!this.closing) {
      this.closing = true;
      this.child.stdin.end();
    }
    const exit = await this.exited;
    if (exit.status !== 0) {
      throw this.failure instanceof HelperExitError || this.failure === undefined
        ? new HelperExitError(PROGRAM, exit, '', 'on close')
        : this.failure;
    }
  }

  /** Stops the helper at once; pending requests are rejected. */
  kill(signal: NodeJS.Signals = 'SIGTERM'): void {
    if (this.exit === undefined) this.child.kill(signal);
  }

  private send<T extends Reply>(op: string, fields: object): Promise<T> {
    if (this.failure !== undefined) return Promise.reject(this.failure);
    if (this.closing) return Promise.reject(new Error(`${PROGRAM}: ${op} after close()`));
    const id = this.nextId++;
    let line: string;
    try {
      line = `${JSON.stringify({ ...fields, op, id })}\n`;
    } catch (error) {
      return Promise.reject(error instanceof Error ? error : new Error(String(error)));
    }
    return new Promise<T>((resolve, reject) => {
      this.pending.push({ id, op, resolve: (reply) => resolve(reply as unknown as T), reject });
      // Requests made in the same tick leave in one write.
      if (!this.corked) {
        this.corked = true;
        this.child.stdin.cork();
        process.nextTick(() => {
          this.corked = false;
          this.child.stdin.uncork();
        });
      }
      this.child.stdin.write(line);
    });
  }

  private onLine(text: string): void {
    let value: unknown;
    try {
      value = JSON.parse(text);
    } catch {
      value = undefined;
    }
    if (this.onReady !== undefined) {
      if (isObject(value) && value['ready'] === true && typeof value['trusted'] === 'boolean') {
        this.trusted = value['trusted'];
        this.onReady();
      } else {
        this.violate(`expected the ready line, got ${clip(text)}`);
      }
      return;
    }
    if (!isObject(value)) {
      this.violate(`expected a reply, got ${clip(text)}`);
      return;
    }
    // Replies come in request order: this one answers the oldest request.
    const request = this.pending[this.head];
    if (request === undefined) {
      this.violate(`reply to no request: ${clip(text)}`);
      return;
    }
    const id = request.id;
    // Only "bad_json" and "reply_encode_failed" may come without the id.
    const idMatches = 'id' in value ? value['id'] === id : value['ok'] === false;
    if (!idMatches) {
      this.violate(`reply out of order for the "${request.op}" request: ${clip(text)}`);
      return;
    }
    this.head += 1;
    if (this.head === this.pending.length) {
      this.pending = [];
      this.head = 0;
    } else if (this.head >= 4096 && this.head * 2 >= this.pending.length) {
      this.pending = this.pending.slice(this.head);
      this.head = 0;
    }
    if (value['ok'] === true) {
      delete value['id'];
      request.resolve(value);
    } else {
      const code = typeof value['error'] === 'string' ? value['error'] : 'unknown_error';
      const hint = typeof value['message'] === 'string' ? value['message'] : undefined;
      request.reject(new RequestError(request.op, code, hint));
    }
  }

  /** The helper broke the protocol: no reply can be trusted to pair up any more. */
  private violate(detail: string): void {
    this.fail(new ProtocolError(PROGRAM, detail));
    this.kill();
  }

  private waiting(): number {
    return this.pending.length - this.head;
  }

  private fail(error: Error): void {
    this.failure ??= error;
    this.onReady?.(this.failure);
    const pending = this.pending.slice(this.head);
    this.pending = [];
    this.head = 0;
    for (const request of pending) request.reject(this.failure);
  }
}

/**
 * Starts vexel-input and resolves once its ready line has come, with
 * `trusted` telling whether it may post events.
 */
export async function startInput(options: InputOptions = {}): Promise<InputClient> {
  const env = options.env ?? process.env;
  const client = new InputClient(findProgram(PROGRAM, options.path, env), env);
  await client.ready(options.readyTimeoutMs ?? 10_000);
  return client;
}
