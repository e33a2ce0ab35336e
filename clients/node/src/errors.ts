/** How a helper process ended: its exit status, or the signal that ended it. */
export interface ExitInfo {
  status: number | null;
  signal: NodeJS.Signals | null;
}

/** The helper answered a request with "ok": false. */
export class RequestError extends Error {
  override readonly name = 'RequestError';
  /** The operation that failed, such as "key". */
  readonly op: string;
  /** The protocol's error string, such as "unknown_key:f13" or "accessibility_not_granted". */
  readonly code: string;
  /** How to repair a missing grant; sent with "accessibility_not_granted" only. */
  readonly hint: string | undefined;

  constructor(op: string, code: string, hint?: string) {
    super(hint === undefined ? `vexel-input: ${op} failed: ${code}` : `vexel-input: ${op} failed: ${code}: ${hint}`);
    this.op = op;
    this.code = code;
    this.hint = hint;
  }
}

/** A helper ended (or could not start) before it delivered what was asked of it. */
export class HelperExitError extends Error implements ExitInfo {
  override readonly name = 'HelperExitError';
  readonly program: string;
  readonly status: number | null;
  readonly signal: NodeJS.Signals | null;
  /** The helper's last diagnostic line on stderr, if it wrote one. */
  readonly line: string;

  constructor(program: string, exit: ExitInfo, line: string, what: string) {
    const how = exit.signal !== null ? `was killed by ${exit.signal}` : `exited with status ${String(exit.status)}`;
    super([`${program} ${how}`, what].filter((part) => part !== '').join(' ') + (line === '' ? '' : `: ${line}`));
    this.program = program;
    this.status = exit.status;
    this.signal = exit.signal;
    this.line = line;
  }
}

/** A helper wrote something its protocol does not allow; the client stopped it. */
export class ProtocolError extends Error {
  override readonly name = 'ProtocolError';
  readonly program: string;

  constructor(program: string, detail: string) {
    super(`${program}: ${detail}`);
    this.program = program;
  }
}

/** Shortens untrusted text for an error message. */
export function clip(text: string, max = 200): string {
  return text.length <= max ? JSON.stringify(text) : `${JSON.stringify(text.slice(0, max))}…`;
}
