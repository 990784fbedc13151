/** Naming a process so that a reused pid is never taken for it. */

import type { Integer, MatchedExternalProcess, ProcessSample, U64 } from './messages.js';

/** A process to watch besides the root's tree. */
export interface ExternalProcess {
  pid: number;
  /** Start time, ms since the Unix epoch; absent or null matches any process with the pid. */
  startTimeMs?: U64 | null | undefined;
}

/**
 * The pid and start time of a sampled process: pass it to
 * `setExternalProcesses` (or `externalProcesses` of `configure`) to follow
 * that very process; a later process with the same pid does not match.
 */
export function identity<I extends Integer>(
  sample: ProcessSample<I> | MatchedExternalProcess<I>,
): { pid: number; startTimeMs: I } {
  return { pid: sample.pid, startTimeMs: sample.startTimeMs };
}
