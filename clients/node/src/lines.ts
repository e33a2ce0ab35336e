/**
 * Cuts decoded text into lines ended by LF. A line longer than `maxLength`
 * is reported through `onOverlong` (once, then discarded up to its LF), so a
 * helper that never ends its line cannot grow our memory.
 */
export interface LineReader {
  push(text: string): void;
  /** The text after the last LF, once the stream has ended. */
  rest(): string;
}

export function lineReader(
  maxLength: number,
  onLine: (line: string) => void,
  onOverlong: (start: string) => void,
): LineReader {
  let partial = '';
  let skipping = false;
  return {
    push(text: string): void {
      let from = 0;
      for (let lf = text.indexOf('\n'); lf !== -1; lf = text.indexOf('\n', from)) {
        const piece = text.slice(from, lf);
        from = lf + 1;
        if (skipping) {
          skipping = false;
          continue;
        }
        const line = partial === '' ? piece : partial + piece;
        partial = '';
        if (line.length > maxLength) onOverlong(line.slice(0, maxLength));
        else onLine(line);
      }
      if (skipping || from === text.length) return;
      partial += text.slice(from);
      if (partial.length > maxLength) {
        onOverlong(partial.slice(0, maxLength));
        partial = '';
        skipping = true;
      }
    },
    rest(): string {
      return skipping ? '' : partial;
    },
  };
}
