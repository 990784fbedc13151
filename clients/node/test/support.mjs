// Shared pieces of the tests: where the sidecar is, trees to watch, and
// waiting for a condition with a deadline.
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Sidecar } from '../dist/esm/index.js';

export const PACKAGE_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
export const REPO_DIR = path.resolve(PACKAGE_DIR, '..', '..');
export const BINARY = process.env.SIDECAR_BINARY ?? path.join(REPO_DIR, 'build', 'sidecar');

/** Starts the real sidecar; the test's cleanup closes it. */
export async function startSidecar(t, options = {}) {
  const sidecar = await Sidecar.start(BINARY, options);
  t.after(() => sidecar.close());
  return sidecar;
}

/** Starts `sh -c CMD`, ended (that pid and its group) by the test's cleanup. */
export function startTree(t, command) {
  const child = spawn('sh', ['-c', command], { stdio: 'ignore', detached: true });
  t.after(() => {
    try {
      process.kill(-child.pid, 'SIGKILL');
    } catch {
      // already gone
    }
  });
  return child;
}

/** Calls `probe` until it returns a truthy value; fails after `deadlineMs`. */
export async function waitUntil(probe, what, deadlineMs = 10_000) {
  const end = Date.now() + deadlineMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}
