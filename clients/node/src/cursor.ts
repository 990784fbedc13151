/**
 * History cursors: where a parent's reading of the history stands, bound to
 * the session that numbered the samples.
 *
 * Sequences start again at 1 in every session, so a bare sequence number
 * from an ended session would silently select the wrong samples (usually
 * none) in the next. A cursor carries its session, and a session refuses a
 * cursor of another one.
 */

import { SidecarCursorError } from './errors.js';
import type { Integer, Snapshot } from './messages.js';

/** The identity of one session: one run of the sidecar. */
export interface SessionInfo {
  /** Unique among the sessions of this process. */
  readonly id: string;
  /** The sidecar's process id in this session. */
  readonly sidecarPid: number;
}

/**
 * A place in one session's history: after the sample numbered `sequence`.
 * Get one from a history read (`history.cursor`) or from
 * `cursorAfter(snapshot)`; pass it as `after` to `readHistory`.
 */
export class HistoryCursor<I extends Integer = number> {
  /** @internal Made by the client only. */
  constructor(
    /** The session whose samples the cursor counts. */
    readonly session: SessionInfo,
    /** The last sample already read; 0 before the first. */
    readonly sequence: I,
  ) {
    Object.freeze(this);
  }
}

/** The snapshots of a history read, oldest first, and the cursor after the last of them. */
export type HistoryRead<I extends Integer = number> = Array<Snapshot<I>> & {
  /** After the newest snapshot of this read (or where the read started, when it is empty). */
  readonly cursor: HistoryCursor<I>;
};

/** Throws unless `cursor` belongs to `session`. */
export function checkCursor<I extends Integer>(cursor: unknown, session: SessionInfo): HistoryCursor<I> {
  if (!(cursor instanceof HistoryCursor)) {
    throw new TypeError(
      `after must be a HistoryCursor (history.cursor or cursorAfter(snapshot)), not ${describe(cursor)}`,
    );
  }
  if (cursor.session.id !== session.id) {
    throw new SidecarCursorError(
      `The history cursor belongs to an earlier session (sidecar pid ${cursor.session.sidecarPid}), ` +
        `not to the current one (sidecar pid ${session.sidecarPid}), whose sequences start again at 1; ` +
        'read the current session\'s history without a cursor to start over',
      cursor.session.id,
      session.id,
    );
  }
  return cursor as HistoryCursor<I>;
}

/** Gives `snapshots` the cursor after its last element. */
export function historyRead<I extends Integer>(snapshots: Array<Snapshot<I>>, cursor: HistoryCursor<I>): HistoryRead<I> {
  const last = snapshots.at(-1);
  const after = last === undefined ? cursor : new HistoryCursor(cursor.session, last.sequence);
  // Not enumerable: the read still compares and prints as a plain array.
  Object.defineProperty(snapshots, 'cursor', { value: after, enumerable: false });
  return snapshots as HistoryRead<I>;
}

function describe(value: unknown): string {
  if (typeof value === 'bigint') return `${value}n`;
  if (typeof value === 'object' && value !== null) return `an object (${Object.keys(value).join(', ') || 'no keys'})`;
  return JSON.stringify(value) ?? String(value);
}
