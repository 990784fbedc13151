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

/** A call's deadline passed, or its AbortSignal fired, before its answer came. */
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

/** How a session ended. */
export interface SessionEnd {
  /** Exit status, or null when a signal ended the sidecar. */
  status: number | null;
  /** The signal that ended the sidecar, or null. */
  signal: NodeJS.Signals | null;
  /** The "Error: " line the sidecar wrote to standard error, or null. */
  errorLine: string | null;
}
