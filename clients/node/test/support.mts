// Shared pieces of the tests: where the sidecar is, trees to watch, and
// waiting for a condition with a deadline.
import { spawn, type ChildProcess } from 'node:child_process';
import path from 'node:path';
import type { TestContext } from 'node:test';
import { fileURLToPath } from 'node:url';

import { Sidecar, type StartOptions } from 'sidecar-client';

// Compiled to .test-build/, one folder below the package.
export const PACKAGE_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
export const REPO_DIR = path.resolve(PACKAGE_DIR, '..', '..');
export const BINARY = process.env['SIDECAR_BINARY'] ?? path.join(REPO_DIR, 'build', 'sidecar');
export const FAKE_SIDECAR = path.join(PACKAGE_DIR, 'test', 'fixtures', 'fake-sidecar.mjs');

/** Starts the real sidecar; the test's cleanup closes it. */
export async function startSidecar(t: TestContext, options: StartOptions & { exactIntegers?: false } = {}): Promise<Sidecar> {
  const sidecar = await Sidecar.start(BINARY, options);
  t.after(() => sidecar.close());
  return sidecar;
}

/** Starts `sh -c CMD`, ended (that pid and its group) by the test's cleanup. */
export function startTree(t: TestContext, command: string): ChildProcess & { pid: number } {
  const child = spawn('sh', ['-c', command], { stdio: 'ignore', detached: true });
  const pid = child.pid;
  if (pid === undefined) throw new Error('sh did not start');
  t.after(() => {
    try {
      process.kill(-pid, 'SIGKILL');
    } catch {
      // already gone
    }
  });
  return child as ChildProcess & { pid: number };
}

/** Calls `probe` until it returns a truthy value; fails after `deadlineMs`. */
export async function waitUntil<T>(probe: () => Promise<T | false | null | undefined> | T | false | null | undefined, what: string, deadlineMs = 10_000): Promise<T> {
  const end = Date.now() + deadlineMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

/** The value, which the test knows to be there. */
export function present<T>(value: T | undefined | null, what: string): T {
  if (value === undefined || value === null) throw new Error(`no ${what}`);
  return value;
}
