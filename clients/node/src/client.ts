/**
 * The sidecar as a Node object: start it, send commands, read its answers.
 *
 * One reader takes the sidecar's lines as they come (on the event loop, so
 * the sidecar never blocks on a full pipe while a parent awaits) and hands
 * answers and errors to the ledger, which ties each to the command it
 * belongs to; streamed snapshots go to a bounded queue read by
 * {@link Sidecar.snapshots}.
 */

import { spawn, type ChildProcess } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import { createInterface } from 'node:readline';

import { checkCursor, historyRead, HistoryCursor, type HistoryRead, type SessionInfo } from './cursor.js';
import { abortError, withDeadline, type CallOptions } from './deadline.js';
import {
  SidecarClosedError,
  SidecarIntegerError,
  SidecarProtocolError,
  SidecarStartError,
  SidecarTimeoutError,
  type SessionEnd,
} from './errors.js';
import { typedEmitter } from './events.js';
import type { ExternalProcess } from './identity.js';
import { findBigInt, mayHoldUnsafeInteger, parseWireJson, type WireValue } from './json.js';
import { CommandLedger, type Outstanding } from './ledger.js';
import type { ErrorMessage, Hello, HistoryChunk, Integer, ProcessTable, ProcessTableEntry, Snapshot, U64 } from './messages.js';
import { checkBoolean, checkU32, checkU64, compareU64, stringifyCommand } from './wire.js';

/** Options of {@link Sidecar.start}. */
export interface StartOptions {
  /** Arguments for the sidecar (it ignores them unless the first is --help or --version). */
  args?: string[] | undefined;
  /** Environment of the sidecar (default: this process's). */
  env?: NodeJS.ProcessEnv | undefined;
  /** Default deadline of the greeting and of every call, ms (default 10000; Infinity: none). */
  timeoutMs?: number | undefined;
  /** Aborts the wait for the greeting. */
  signal?: AbortSignal | undefined;
  /** Most streamed snapshots kept while nobody reads them (default 4096); older ones are dropped. */
  streamBuffer?: number | undefined;
  /**
   * Receive u64 values above 2^53 − 1 as `bigint` (the u64 fields are then
   * typed `number | bigint`). Without it every u64 field is a `number`, and
   * a larger value fails the call that carries it with a
   * {@link SidecarIntegerError}.
   */
  exactIntegers?: boolean | undefined;
}

/** {@link StartOptions} of a client whose u64 fields are `number | bigint`. */
export type ExactStartOptions = StartOptions & { exactIntegers: true };

export type { CallOptions } from './deadline.js';

export interface ConfigureOptions {
  /** Root of the watched tree. */
  rootPid: number;
  /** Period of periodic samples, ms; 0 for none; clamped by the sidecar to 250..60000. */
  sampleIntervalMs: U64;
  externalProcesses?: ExternalProcess[] | undefined;
}

export interface ReadHistoryOptions<I extends Integer = number> extends CallOptions {
  /** The window, ms back from now (at most one hour counts). */
  windowMs: U64;
  /**
   * Only samples after this cursor (the `cursor` of an earlier read, or
   * `cursorAfter(snapshot)`); a cursor of another session is refused.
   */
  after?: HistoryCursor<I> | undefined;
}

/** The events of a {@link Sidecar} and their listeners' arguments. */
export interface SidecarEvents {
  /** The sidecar has exited and all its output is read. */
  end: [end: SessionEnd];
}

const DEFAULT_TIMEOUT_MS = 10_000;

/** An item of the stream queue: a snapshot, or the error that stands for one. */
type Streamed<I extends Integer> = { snapshot: Snapshot<I> } | { error: Error };

/**
 * A running sidecar: one session. Events: `'end'` (a {@link SessionEnd})
 * when the sidecar has exited and its output is read.
 *
 * `I` is the type of u64 fields: `number`, or `number | bigint` for a
 * client started with `exactIntegers: true`.
 */
export class Sidecar<I extends Integer = number> extends typedEmitter<SidecarEvents>() {
  /** The child process (its pid is `process.pid`). */
  readonly process: ChildProcess;
  /** Settles when the sidecar has exited and all its output has been read; never rejects. */
  readonly ended: Promise<SessionEnd>;
  /** Streamed snapshots dropped because nobody read them in time. */
  droppedSnapshots = 0;

  private helloMessage: Hello | null = null;
  private sessionInfo: SessionInfo | null = null;
  private readonly greeting: Promise<Hello>;
  private greetingSettle: { resolve: (h: Hello) => void; reject: (e: Error) => void } | null = null;
  private readonly ledger = new CommandLedger();
  private readonly stream: Array<Streamed<I>> = [];
  private streamWaiters: Array<() => void> = [];
  private readonly streamBuffer: number;
  private readonly defaultTimeoutMs: number;
  private readonly exactIntegers: boolean;
  private readonly delivered = new WeakSet<Snapshot<I>>();
  private failure: Error | null = null;
  private spawnError: Error | null = null;
  private endInfo: SessionEnd | null = null;
  private stopSending: string | null = null;
  private cleanEnd = false;
  private requestCounter = 0;
  private rootPid: number | null = null;
  private rootStartMs: I | null = null;
  private stderrText = '';

  private constructor(path: string, options: StartOptions) {
    super();
    this.streamBuffer = options.streamBuffer ?? 4096;
    this.defaultTimeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
    this.exactIntegers = options.exactIntegers === true;
    this.greeting = new Promise<Hello>((resolve, reject) => {
      this.greetingSettle = { resolve, reject };
    });
    this.greeting.catch(() => {});
    const child = spawn(path, options.args ?? [], { stdio: ['pipe', 'pipe', 'pipe'], env: options.env });
    this.process = child;
    child.stdin!.on('error', () => {
      // A closed input shows as the end of the session, read from the exit.
    });
    child.stderr!.setEncoding('utf8');
    child.stderr!.on('data', (text: string) => {
      this.stderrText += text;
    });
    const lines = createInterface({ input: child.stdout!, crlfDelay: Infinity });
    lines.on('line', (line) => this.onLine(line));
    child.stdout!.on('error', () => {});
    this.ended = new Promise<SessionEnd>((resolve) => {
      child.on('error', (error) => {
        this.spawnError = error;
        this.greetingSettle?.reject(error);
        if (child.pid === undefined) {
          // It never started: no 'close' with a status follows reliably.
          resolve(this.finish({ status: null, signal: null, errorLine: null }));
        }
      });
      child.on('close', (status, signal) => {
        const errorLine = this.stderrText.split('\n').find((l) => l.startsWith('Error: ')) ?? null;
        resolve(this.finish({ status, signal, errorLine }));
      });
    });
  }

  /**
   * Starts the sidecar at `path` (default: `sidecar` on PATH) and resolves
   * once its greeting has been read. Rejects with a
   * {@link SidecarStartError} (with the path and a hint) when it cannot be
   * started or does not greet, with an `AbortError` when `signal` fires.
   */
  static start(path?: string, options?: StartOptions & { exactIntegers?: false | undefined }): Promise<Sidecar<number>>;
  static start(path: string | undefined, options: ExactStartOptions): Promise<Sidecar<U64>>;
  static start(path?: string, options?: StartOptions): Promise<Sidecar<number> | Sidecar<U64>>;
  static async start(path = 'sidecar', options: StartOptions = {}): Promise<Sidecar<number> | Sidecar<U64>> {
    const sidecar = new Sidecar<Integer>(path, options);
    try {
      await withDeadline(sidecar.greeting, sidecar.defaultTimeoutMs, options.signal, 'the greeting');
    } catch (error) {
      if (sidecar.endInfo === null) sidecar.process.kill('SIGKILL');
      const end = await sidecar.ended;
      if (error instanceof Error && error.name === 'AbortError') throw error;
      throw startError(path, error as Error, sidecar.spawnError === null ? end : null, sidecar.defaultTimeoutMs);
    }
    return sidecar as Sidecar<number> | Sidecar<U64>;
  }

  /** The greeting. */
  get hello(): Hello {
    if (this.helloMessage === null) throw new SidecarClosedError('The sidecar has not greeted', null);
    return this.helloMessage;
  }

  /** This session: its id and the sidecar's pid. */
  get session(): SessionInfo {
    if (this.sessionInfo === null) throw new SidecarClosedError('The sidecar has not greeted', null);
    return this.sessionInfo;
  }

  /** How the session ended, or null while it runs. */
  get end(): SessionEnd | null {
    return this.endInfo;
  }

  /** Whether the end was asked for (shutdown, endInput or close) rather than unexpected. */
  get endAsked(): boolean {
    return this.cleanEnd;
  }

  // --- commands -------------------------------------------------------------

  /** Sets the root, the interval and the external processes (no answer). */
  async configure(config: ConfigureOptions, options: CallOptions = {}): Promise<void> {
    const fields: Record<string, unknown> = {
      rootPid: checkU32('rootPid', config.rootPid),
      sampleIntervalMs: checkU64('sampleIntervalMs', config.sampleIntervalMs),
    };
    if (config.externalProcesses !== undefined) {
      fields['externalProcesses'] = externalList(config.externalProcesses);
    }
    await this.sendSilent('configure', fields, options);
    this.rootPid = config.rootPid;
    this.rootStartMs = null;
  }

  /** Replaces the external processes (no answer); needs configure first. */
  async setExternalProcesses(processes: ExternalProcess[], options: CallOptions = {}): Promise<void> {
    await this.sendSilent('setExternalProcesses', { processes: externalList(processes) }, options);
  }

  /** Sets the period of periodic samples, ms; 0 stops them (no answer); needs configure first. */
  async setSampleInterval(sampleIntervalMs: U64, options: CallOptions = {}): Promise<void> {
    await this.sendSilent('setSampleInterval', { sampleIntervalMs: checkU64('sampleIntervalMs', sampleIntervalMs) }, options);
  }

  /** Turns the streaming of periodic samples on or off (no answer). */
  async setStreaming(enabled: boolean, options: CallOptions = {}): Promise<void> {
    await this.sendSilent('setStreaming', { enabled: checkBoolean('enabled', enabled) }, options);
  }

  /** Takes one sample now. */
  async sampleNow(options: CallOptions = {}): Promise<Snapshot<I>> {
    const entry = this.write('sampleNow', { requestId: this.nextRequestId() }, true, options);
    const snapshot = (await this.deadline(entry.outcome, options, 'the answer to sampleNow')) as Snapshot<I>;
    this.delivered.add(snapshot);
    return snapshot;
  }

  /** Every process of the system: pid, parent pid and name, sorted by pid. */
  async processTable(options: CallOptions = {}): Promise<ProcessTableEntry[]> {
    const entry = this.write('processTable', { requestId: this.nextRequestId() }, true, options);
    return (await this.deadline(entry.outcome, options, 'the answer to processTable')) as ProcessTableEntry[];
  }

  /**
   * The kept samples of the last `windowMs`, oldest first, assembled from
   * all chunks of the answer; with `after`, only the samples after that
   * cursor. The result's `cursor` is the place after its last sample: pass
   * it as `after` to the next read to get only what is new.
   */
  async readHistory(options: ReadHistoryOptions<I>): Promise<HistoryRead<I>> {
    if ('sinceSequence' in options) {
      throw new TypeError(
        'sinceSequence is replaced by after: pass the cursor of an earlier read (history.cursor) ' +
          'or cursorAfter(snapshot), which cannot be mixed up between sessions',
      );
    }
    const fields = { requestId: this.nextRequestId(), windowMs: checkU64('windowMs', options.windowMs) };
    const after = options.after === undefined ? null : checkCursor<I>(options.after, this.session);
    const entry = this.write('readHistory', fields, true, options);
    const all = (await this.deadline(entry.outcome, options, 'the answer to readHistory')) as Array<Snapshot<I>>;
    const snapshots = after === null ? all : all.filter((s) => compareU64(s.sequence, after.sequence) > 0);
    for (const snapshot of snapshots) this.delivered.add(snapshot);
    return historyRead(snapshots, after ?? new HistoryCursor(this.session, 0 as I));
  }

  /**
   * The cursor after `snapshot`, a snapshot this session gave (answered,
   * streamed or read from the history): a history read after it returns
   * only later samples. A snapshot of another session is refused.
   */
  cursorAfter(snapshot: Snapshot<I>): HistoryCursor<I> {
    if (!this.delivered.has(snapshot)) {
      throw new TypeError(
        'cursorAfter() takes a snapshot this session gave (a copy, or a snapshot of an earlier session, has no place in its history)',
      );
    }
    return new HistoryCursor(this.session, snapshot.sequence);
  }

  /** Ends the session: the sidecar exits with status 0 and drops commands behind it. */
  async shutdown(): Promise<void> {
    this.write('shutdown', {}, true);
    this.stopSending = 'after shutdown';
    this.cleanEnd = true;
  }

  /** Closes the sidecar's input: it answers what was sent, then exits with status 0. */
  endInput(): void {
    if (this.stopSending === null) this.stopSending = 'after the sidecar\'s input was closed';
    this.cleanEnd = true;
    this.process.stdin!.end();
  }

  /** Waits until the sidecar has handled every command sent so far. */
  async sync(options: CallOptions = {}): Promise<void> {
    const entry = this.write('readHistory', { requestId: this.nextRequestId(), windowMs: 0 }, true, options);
    try {
      await this.deadline(entry.outcome, options, 'the answer to sync');
    } catch (error) {
      if (!(error instanceof Error && error.name === 'SidecarError')) throw error;
    }
  }

  /**
   * Writes any command object as it is, unchecked (it gets `version` 3
   * unless it has one). Resolves with its answer, or `undefined` once a
   * silent command is known to be accepted: at the next answer, at
   * {@link sync}, or at the end after shutdown; rejects with its refusal.
   */
  async send(command: Record<string, unknown>, options: CallOptions = {}): Promise<unknown> {
    const { type, ...rest } = command;
    const fields = { version: 3, ...rest };
    const entry = this.write(String(type), fields, false, options, { version: fields.version, type, ...rest });
    return this.deadline(entry.outcome, options, `the outcome of ${String(type)}`);
  }

  // --- streamed samples -----------------------------------------------------

  /**
   * Streamed (periodic) snapshots as they arrive; needs setStreaming(true)
   * and an interval. Ends when the session ends after shutdown or endInput;
   * throws SidecarClosedError if it ends otherwise, SidecarTimeoutError if
   * none comes within the deadline (per snapshot).
   */
  async *snapshots(options: CallOptions = {}): AsyncGenerator<Snapshot<I>, void, undefined> {
    for (;;) {
      const next = this.stream.shift();
      if (next !== undefined) {
        if ('error' in next) throw next.error;
        this.delivered.add(next.snapshot);
        yield next.snapshot;
        continue;
      }
      if (this.endInfo !== null || this.failure !== null) {
        if (this.cleanEnd && this.failure instanceof SidecarClosedError) return;
        throw this.failure ?? new SidecarClosedError('The session has ended', this.endInfo);
      }
      const arrived = new Promise<void>((resolve) => this.streamWaiters.push(resolve));
      await this.deadline(arrived, options, 'a streamed snapshot');
    }
  }

  // --- what the wire leaves to the parent -----------------------------------

  /**
   * Whether the configured root has ended, as `snapshot` shows: its pid is
   * absent, its status is "Zombie" (exited, not yet collected), or the pid
   * belongs to a process with another start time than the root had in the
   * first snapshot given here after configure (the sidecar follows the
   * root by pid alone, and a pid can be reused).
   */
  rootGone(snapshot: Snapshot<I>): boolean {
    if (this.rootPid === null) throw new Error('rootGone() needs a configure() first');
    const sample = snapshot.processes.find((p) => p.pid === this.rootPid);
    if (sample === undefined || sample.status === 'Zombie') return true;
    if (this.rootStartMs === null) this.rootStartMs = sample.startTimeMs;
    return compareU64(sample.startTimeMs, this.rootStartMs) !== 0;
  }

  // --- ending ---------------------------------------------------------------

  /**
   * Ends the sidecar cleanly: sends shutdown (unless sent), closes its
   * input and waits up to `timeoutMs` for the exit; a sidecar still running
   * then is killed. Resolves with how the session ended. Calling it again
   * does the same wait.
   */
  async close(timeoutMs = 5000): Promise<SessionEnd> {
    if (this.endInfo === null) {
      if (this.stopSending === null) {
        await this.shutdown().catch(() => {});
      }
      this.cleanEnd = true;
      this.process.stdin!.end();
      let timer: NodeJS.Timeout | undefined;
      const late = new Promise<null>((resolve) => {
        timer = setTimeout(() => resolve(null), timeoutMs);
      });
      const end = await Promise.race([this.ended, late]);
      clearTimeout(timer);
      if (end === null) this.process.kill('SIGKILL');
    }
    return this.ended;
  }

  async [Symbol.asyncDispose](): Promise<void> {
    await this.close();
  }

  // --- internals ------------------------------------------------------------

  private nextRequestId(): string {
    this.requestCounter += 1;
    return `r${this.requestCounter}`;
  }

  private async sendSilent(type: string, fields: Record<string, unknown>, options: CallOptions): Promise<void> {
    const entry = this.write(type, fields, true, options);
    if (entry.refusalCertain) {
      await this.deadline(entry.outcome, options, `the refusal of ${type}`);
    }
  }

  private write(
    type: string,
    fields: Record<string, unknown>,
    checked: boolean,
    options: CallOptions = {},
    raw?: Record<string, unknown>,
  ): Outstanding {
    if (options.signal?.aborted) throw abortError(options.signal, `the outcome of ${type}`);
    if (this.failure !== null) throw this.failure;
    if (this.stopSending !== null) throw new SidecarClosedError(`No command can be sent ${this.stopSending}`, this.endInfo);
    const entry = this.ledger.record(type, fields, checked);
    const line = stringifyCommand(raw ?? { version: 3, type, ...fields });
    this.process.stdin!.write(`${line}\n`);
    return entry;
  }

  private deadline<T>(promise: Promise<T>, options: CallOptions, what: string): Promise<T> {
    return withDeadline(promise, options.timeoutMs ?? this.defaultTimeoutMs, options.signal, what);
  }

  private onLine(line: string): void {
    if (this.failure !== null) return;
    let message: WireValue;
    try {
      message = parseWireJson(line);
    } catch (error) {
      this.breakSession(new SidecarProtocolError(`The sidecar wrote a line that is not JSON (${String(error)})`));
      return;
    }
    try {
      const unsafe = !this.exactIntegers && mayHoldUnsafeInteger(line) ? findBigInt(message) : null;
      this.dispatch(message as WireMessage, unsafe);
    } catch (error) {
      this.breakSession(error instanceof Error ? error : new SidecarProtocolError(String(error)));
    }
  }

  private dispatch(message: WireMessage, unsafe: { path: string; value: bigint } | null): void {
    if (this.helloMessage === null) {
      if (message.type !== 'hello') {
        throw new SidecarProtocolError(`The sidecar's first line is ${describeType(message.type)}, not the greeting`);
      }
      if (unsafe !== null) throw new SidecarProtocolError(`The greeting's ${unsafe.path} is out of range`);
      this.helloMessage = message as unknown as Hello;
      this.sessionInfo = Object.freeze({ id: randomUUID(), sidecarPid: this.helloMessage.sidecarPid });
      this.greetingSettle?.resolve(this.helloMessage);
      return;
    }
    const tooLarge = unsafe === null ? undefined : integerError(String(message.type), unsafe);
    switch (message.type) {
      case 'snapshot': {
        const snapshot = message as unknown as Snapshot<I>;
        if (snapshot.requestId === undefined) {
          this.stream.push(tooLarge === undefined ? { snapshot } : { error: tooLarge });
          if (this.stream.length > this.streamBuffer) {
            this.stream.shift();
            this.droppedSnapshots += 1;
          }
          this.wakeStream();
        } else {
          this.ledger.settleAnswer({ kind: 'sampleNow', requestId: snapshot.requestId, value: snapshot, failure: tooLarge });
        }
        return;
      }
      case 'historyChunk': {
        const chunk = message as unknown as HistoryChunk<I>;
        this.ledger.settleAnswer({
          kind: 'readHistory', requestId: chunk.requestId, done: chunk.done, snapshots: chunk.snapshots, failure: tooLarge,
        });
        return;
      }
      case 'processTable': {
        if (tooLarge !== undefined) throw new SidecarProtocolError(`The process table's ${unsafe!.path} is out of range`);
        const table = message as unknown as ProcessTable;
        this.ledger.settleAnswer({ kind: 'processTable', requestId: table.requestId, value: table.processes });
        return;
      }
      case 'error':
        this.ledger.settleError(message as unknown as ErrorMessage);
        return;
      default:
        throw new SidecarProtocolError(`The sidecar wrote ${describeType(message.type)}, which is not a message of the protocol`);
    }
  }

  private wakeStream(): void {
    const waiters = this.streamWaiters;
    this.streamWaiters = [];
    for (const wake of waiters) wake();
  }

  /** The sidecar broke the protocol: fail every call and end it (this child only). */
  private breakSession(error: Error): void {
    this.failure = error;
    this.greetingSettle?.reject(error);
    this.ledger.failAll(error, false);
    this.wakeStream();
    if (this.endInfo === null) this.process.kill('SIGKILL');
  }

  private finish(end: SessionEnd): SessionEnd {
    this.endInfo = end;
    const closed = new SidecarClosedError(
      `The sidecar ended (${describeEnd(end)})` + (end.errorLine ? `: ${end.errorLine}` : ''),
      end,
    );
    this.greetingSettle?.reject(this.spawnError ?? closed);
    if (this.failure === null) {
      this.failure = closed;
      this.ledger.failAll(closed, this.cleanEnd);
    }
    this.wakeStream();
    this.emit('end', end);
    return end;
  }
}

type WireMessage = { type?: unknown; requestId?: unknown; [key: string]: unknown };

function describeType(type: unknown): string {
  return typeof type === 'string' ? `a "${type}" message` : 'a message without a type';
}

function describeEnd(end: SessionEnd): string {
  return end.signal === null ? `status ${String(end.status)}` : `signal ${end.signal}`;
}

function integerError(type: string, unsafe: { path: string; value: bigint }): SidecarIntegerError {
  return new SidecarIntegerError(
    `The sidecar sent ${unsafe.value} for ${unsafe.path} of a ${type} message, above Number.MAX_SAFE_INTEGER ` +
      '(2^53 - 1), which a number cannot hold exactly; start the client with { exactIntegers: true } ' +
      'to receive such values as bigint',
    unsafe.path,
    unsafe.value,
  );
}

/** The client's own error for a sidecar that did not start or greet, with a hint. */
function startError(path: string, cause: Error, end: SessionEnd | null, timeoutMs: number): SidecarStartError {
  const where = `"${path}"`;
  const code = (cause as NodeJS.ErrnoException).code;
  let text: string;
  if (code === 'ENOENT') {
    text = path.includes('/') || path.includes('\\')
      ? `Could not start the sidecar: there is no file ${where}. Pass the full path of the sidecar executable to Sidecar.start()`
      : `Could not start the sidecar: there is no executable ${where} on PATH. ` +
        'Pass the full path of the sidecar executable to Sidecar.start(), or put its folder on PATH';
    text += ' (in a packaged Electron app: a path in the app bundle, outside app.asar)';
  } else if (code === 'EACCES') {
    text = `Could not start the sidecar at ${where}: permission denied. ` +
      'Give the file its execute bit (chmod +x) and keep it outside any asar archive';
  } else if (cause instanceof SidecarTimeoutError) {
    text = `The program at ${where} started but did not greet within ${timeoutMs} ms. ` +
      'Check that the path names the sidecar, or give Sidecar.start() a longer timeoutMs';
  } else if (cause instanceof SidecarClosedError && end !== null) {
    text = `The program at ${where} ended before greeting (${describeEnd(end)})` +
      (end.errorLine ? `: ${end.errorLine}` : '') + '. Check that the path names the sidecar and run it by hand to see why';
  } else if (cause instanceof SidecarProtocolError) {
    text = `The program at ${where} did not greet as the sidecar does: ${cause.message}. Check that the path names the sidecar`;
  } else {
    text = `Could not start the sidecar at ${where}: ${cause.message}`;
  }
  return new SidecarStartError(text, path, cause, end);
}

function externalList(processes: ExternalProcess[]): Array<Record<string, unknown>> {
  return processes.map((p, i) => {
    const entry: Record<string, unknown> = { pid: checkU32(`processes[${i}].pid`, p.pid) };
    if (p.startTimeMs !== undefined && p.startTimeMs !== null) {
      entry['startTimeMs'] = checkU64(`processes[${i}].startTimeMs`, p.startTimeMs);
    }
    return entry;
  });
}
