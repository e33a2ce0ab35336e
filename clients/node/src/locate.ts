import { accessSync, constants, statSync } from 'node:fs';
import { createRequire } from 'node:module';
import { delimiter, dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export type ProgramName = 'vexel-input' | 'vexel-screencap';

// dist/locate.js sits one level below the package root.
const packageDir = resolve(dirname(fileURLToPath(import.meta.url)), '..');

function isExecutableFile(file: string): boolean {
  try {
    accessSync(file, constants.X_OK);
    return statSync(file).isFile();
  } catch {
    return false;
  }
}

/** The optional package that carries the programs built for this system, if there is one. */
export function platformPackage(platform: string = process.platform, arch: string = process.arch): string | undefined {
  if (platform === 'darwin') return 'vexel-darwin-universal';
  if (platform === 'linux' && (arch === 'x64' || arch === 'arm64')) return `vexel-linux-${arch}`;
  return undefined;
}

function platformPackageBin(): string | undefined {
  const name = platformPackage();
  if (name === undefined) return undefined;
  try {
    return join(dirname(createRequire(import.meta.url).resolve(`${name}/package.json`)), 'bin');
  } catch {
    return undefined; // not installed: npm skips an optional package made for another system
  }
}

/**
 * Where a helper program is: `path` when given (used as is, even if it does
 * not exist, so a wrong explicit path is reported instead of silently
 * replaced), else `bin/<name>` in the platform package installed beside this
 * one, else `bin/<name>` inside this package, else the first executable
 * `<name>` on the PATH of `env`.
 */
export function findProgram(name: ProgramName, path?: string, env: NodeJS.ProcessEnv = process.env): string {
  if (path !== undefined && path !== '') return path;
  const bundled = platformPackageBin();
  const candidates = bundled === undefined ? [] : [join(bundled, name)];
  candidates.push(join(packageDir, 'bin', name));
  for (const dir of (env['PATH'] ?? '').split(delimiter)) {
    if (dir !== '') candidates.push(join(dir, name));
  }
  const found = candidates.find(isExecutableFile);
  if (found === undefined) {
    throw new Error(`${name} not found: pass its path, place it in ${join(packageDir, 'bin')}, or put it on PATH`);
  }
  return found;
}
