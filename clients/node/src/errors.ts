/** The errors the client raises. */

import type { ErrorCode } from './messages.js';

/** A command as the client wrote it, with its place in the session. */
export interface SentCommand {
  /** The command's type, e.g. "sampleNow". */
  type: string;
  /** The command's fields, version and type aside. */
  fields: Record<string, unknown>;
  /** 1 for the first command written in the session, one more for each. */
  ordinal: number;
}

/** How a session ended. */
export interface SessionEnd {
  /** Exit status, or null when a signal ended the sidecar. */
  status: number | null;
  /** The signal that ended the sidecar, or null. */
  signal: NodeJS.Signals | null;
  /** The "Error: " line the sidecar wrote to standard error, or null. */
  errorLine: string | null;
}

/** Base class of every error of this client. */
export class SidecarClientError extends Error {
  override name = 'SidecarClientError';
}

/** The sidecar refused a command; `command` is the refused one, tied by order. */
export class SidecarError extends SidecarClientError {
  override name = 'SidecarError';

  constructor(
    readonly code: ErrorCode,
    message: string,
    readonly recoverable: boolean,
    readonly command: SentCommand,
  ) {
    super(message);
  }
}

/**
 * The sidecar could not be started, or did not greet: `path` is the
 * executable tried, `cause` the underlying failure (a spawn error with its
 * `code`, such as "ENOENT", or a {@link SidecarTimeoutError},
 * {@link SidecarClosedError} or {@link SidecarProtocolError}); the message
 * ends with a hint.
 */
export class SidecarStartError extends SidecarClientError {
  override name = 'SidecarStartError';
  /** The spawn error's code ("ENOENT", "EACCES", …), or null when it started. */
  readonly code: string | null;

  constructor(
    message: string,
    readonly path: string,
    override readonly cause: Error,
    /** How the sidecar ended, when it started and ended before greeting. */
    readonly end: SessionEnd | null,
  ) {
    super(message, { cause });
    const code = (cause as NodeJS.ErrnoException).code;
    this.code = typeof code === 'string' ? code : null;
  }
}

/** A call's deadline passed before its answer came. */
export class SidecarTimeoutError extends SidecarClientError {
  override name = 'SidecarTimeoutError';
}

/** The session has ended (or the client was closed) before the answer came. */
export class SidecarClosedError extends SidecarClientError {
  override name = 'SidecarClosedError';

  constructor(message: string, readonly end: SessionEnd | null) {
    super(message);
  }
}

/** The sidecar wrote something the protocol does not allow here. */
export class SidecarProtocolError extends SidecarClientError {
  override name = 'SidecarProtocolError';
}

/**
 * A u64 value above `Number.MAX_SAFE_INTEGER` arrived at a client without
 * `exactIntegers`: it is refused rather than rounded. Only the call (or
 * streamed snapshot) that carries it fails; the session goes on.
 */
export class SidecarIntegerError extends SidecarClientError {
  override name = 'SidecarIntegerError';

  constructor(
    message: string,
    /** Where the value sits in its message, e.g. "processes[0].residentBytes". */
    readonly field: string,
    /** The exact value. */
    readonly value: bigint,
  ) {
    super(message);
  }
}

/** A history cursor was given to a session it does not belong to. */
export class SidecarCursorError extends SidecarClientError {
  override name = 'SidecarCursorError';

  constructor(
    message: string,
    /** Session the cursor belongs to. */
    readonly cursorSession: string,
    /** Session that was asked. */
    readonly session: string,
  ) {
    super(message);
  }
}

/**
 * The call's AbortSignal fired: the rejection Node's own APIs give
 * (`name` "AbortError", `code` "ABORT_ERR", the signal's reason as `cause`).
 */
export class AbortError extends Error {
  override name = 'AbortError';
  readonly code = 'ABORT_ERR';

  constructor(message: string, options?: { cause?: unknown }) {
    super(message, options);
  }
}
