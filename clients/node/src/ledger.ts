/**
 * The ledger of sent commands: which command each answer and error belongs to.
 *
 * The sidecar handles commands strictly one at a time, in order.
 * `sampleNow`, `processTable` and `readHistory` are always answered (one
 * snapshot, one processTable, or historyChunk lines up to `"done":true`) or
 * refused by one `error`. The other commands write a line only when refused.
 * An `error` carries no request id.
 *
 * So the ledger keeps the written commands in order:
 * - an answer belongs to the oldest outstanding answered command, and every
 *   silent command ahead of it was accepted;
 * - an error belongs to the first command, from the front up to and
 *   including the oldest answered one, that can be refused this way. Which
 *   codes a command can draw is known when it is written: a command the
 *   client built itself (checked) is never `invalid-command` nor
 *   `protocol-mismatch`, and is `not-configured` exactly when it needs a
 *   configuration and no checked `configure` was written before it. The
 *   `not-configured` text names the command, which must agree.
 * An answer out of turn, or an error no outstanding command can draw, is a
 * {@link SidecarProtocolError}.
 */

import { SidecarError, SidecarProtocolError, type SentCommand } from './errors.js';
import type { ErrorCode, ErrorMessage, Integer, Snapshot } from './messages.js';

export const ANSWERED_COMMANDS: ReadonlySet<string> = new Set(['sampleNow', 'processTable', 'readHistory']);

export const NOT_CONFIGURED_MESSAGES: Readonly<Record<string, string>> = {
  setExternalProcesses: 'configure must be sent before external processes',
  setSampleInterval: 'configure must be sent before changing the sample interval',
  sampleNow: 'configure must be sent before sampling',
  readHistory: 'configure must be sent before reading history',
};

const ALL_CODES: ReadonlySet<ErrorCode> = new Set(['invalid-command', 'protocol-mismatch', 'not-configured']);
const NONE: ReadonlySet<ErrorCode> = new Set();
const NOT_CONFIGURED: ReadonlySet<ErrorCode> = new Set(['not-configured']);

/** A written command waiting for its outcome. */
export class Outstanding {
  /** Snapshots of a history answer received so far. */
  readonly chunks: Array<Snapshot<Integer>> = [];
  /** The first failure among the chunks of a history answer. */
  chunkFailure: Error | undefined;
  settled = false;
  private resolveFn: (value: unknown) => void = () => {};
  private rejectFn: (error: Error) => void = () => {};
  /** Settles with the answer, `undefined` for an accepted silent command, or the refusal. */
  readonly outcome: Promise<unknown>;

  constructor(
    readonly command: SentCommand,
    readonly answered: boolean,
    readonly refusable: ReadonlySet<ErrorCode>,
  ) {
    this.outcome = new Promise((resolve, reject) => {
      this.resolveFn = resolve;
      this.rejectFn = reject;
    });
    // Nobody may wait for a silent command's outcome; that is no fault.
    this.outcome.catch(() => {});
  }

  /** Whether a checked command is certain to be refused (it needs a configure not yet sent). */
  get refusalCertain(): boolean {
    return this.refusable === NOT_CONFIGURED;
  }

  resolve(value: unknown): void {
    if (!this.settled) {
      this.settled = true;
      this.resolveFn(value);
    }
  }

  reject(error: Error): void {
    if (!this.settled) {
      this.settled = true;
      this.rejectFn(error);
    }
  }
}

/**
 * Answers as the reader hands them to the ledger; `failure`, when set,
 * is what the command gets instead of the answer's value.
 */
export type Answer = (
  | { kind: 'sampleNow'; requestId: string; value: Snapshot<Integer> }
  | { kind: 'processTable'; requestId: string; value: unknown }
  | { kind: 'readHistory'; requestId: string; done: boolean; snapshots: Array<Snapshot<Integer>> }
) & { failure?: Error | undefined };

export class CommandLedger {
  private readonly outstanding: Outstanding[] = [];
  private configureSent = false;
  private ordinal = 0;

  /** Notes a command about to be written; commands are recorded in writing order. */
  record(type: string, fields: Record<string, unknown>, checked: boolean): Outstanding {
    let refusable: ReadonlySet<ErrorCode>;
    if (!checked) {
      refusable = ALL_CODES;
    } else if (type in NOT_CONFIGURED_MESSAGES && !this.configureSent) {
      refusable = NOT_CONFIGURED;
    } else {
      refusable = NONE;
    }
    this.ordinal += 1;
    const entry = new Outstanding({ type, fields, ordinal: this.ordinal }, ANSWERED_COMMANDS.has(type), refusable);
    this.outstanding.push(entry);
    if (type === 'configure' && checked) {
      this.configureSent = true;
    }
    return entry;
  }

  /** Drops a command that never reached the sidecar. */
  forget(entry: Outstanding): void {
    const at = this.outstanding.indexOf(entry);
    if (at >= 0) this.outstanding.splice(at, 1);
  }

  /** Gives an answer line to the command it answers. */
  settleAnswer(answer: Answer): void {
    while (this.outstanding.length > 0 && !this.outstanding[0]!.answered) {
      this.outstanding.shift()!.resolve(undefined); // handled before this answer: accepted
    }
    const entry = this.outstanding[0];
    if (entry === undefined) {
      throw new SidecarProtocolError(
        `The sidecar answered ${answer.kind} ${JSON.stringify(answer.requestId)} while no command waited for an answer`,
      );
    }
    if (entry.command.type !== answer.kind || entry.command.fields['requestId'] !== answer.requestId) {
      throw new SidecarProtocolError(
        `The sidecar answered ${answer.kind} ${JSON.stringify(answer.requestId)} out of turn: the oldest waiting command is ` +
          `${entry.command.type} ${JSON.stringify(entry.command.fields['requestId'])}`,
      );
    }
    if (answer.kind === 'readHistory') {
      entry.chunks.push(...answer.snapshots);
      entry.chunkFailure ??= answer.failure;
      if (!answer.done) return;
      this.outstanding.shift();
      if (entry.chunkFailure === undefined) entry.resolve(entry.chunks);
      else entry.reject(entry.chunkFailure);
      return;
    }
    this.outstanding.shift();
    if (answer.failure === undefined) entry.resolve(answer.value);
    else entry.reject(answer.failure);
  }

  /** Ties an error line to the command it refuses, rejects that command, and returns it. */
  settleError(message: ErrorMessage): Outstanding {
    let target: Outstanding | undefined;
    for (const entry of this.outstanding) {
      if (mayRefuse(entry, message)) {
        target = entry;
        break;
      }
      if (entry.answered) break; // its own answer or error comes before any later line
    }
    if (target === undefined) {
      throw new SidecarProtocolError(
        `The sidecar sent an error (${message.code}: ${message.message}) that no waiting command can cause`,
      );
    }
    for (;;) {
      const entry = this.outstanding.shift()!;
      if (entry === target) break;
      entry.resolve(undefined); // handled before the refused command: accepted
    }
    target.reject(new SidecarError(message.code, message.message, message.recoverable, target.command));
    return target;
  }

  /**
   * The session has ended: settles every outstanding command. After a
   * shutdown every silent command before it was accepted (its error would
   * have come before the end); answered ones get `error`.
   */
  failAll(error: Error, silentAccepted: boolean): void {
    for (const entry of this.outstanding.splice(0)) {
      if (entry.answered || !silentAccepted) {
        entry.reject(error);
      } else {
        entry.resolve(undefined);
      }
    }
  }
}

function mayRefuse(entry: Outstanding, message: ErrorMessage): boolean {
  if (!entry.refusable.has(message.code)) return false;
  if (message.code !== 'not-configured') return true;
  const expected = NOT_CONFIGURED_MESSAGES[entry.command.type];
  return message.message === expected || !Object.values(NOT_CONFIGURED_MESSAGES).includes(message.message);
}
