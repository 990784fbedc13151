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
import { EventEmitter } from 'node:events';
import { createInterface } from 'node:readline';

import {
  SidecarClosedError,
  SidecarProtocolError,
  SidecarTimeoutError,
  type SessionEnd,
} from './errors.js';
import { parseWireJson } from './json.js';
import { CommandLedger, type Outstanding } from './ledger.js';
import type { ErrorMessage, Hello, HistoryChunk, ProcessTable, ProcessTableEntry, Snapshot, U64 } from './messages.js';
import { checkBoolean, checkU32, checkU64, compareU64, stringifyCommand } from './wire.js';

/** Options of {@link Sidecar.start}. */
export interface StartOptions {
  /** Arguments for the sidecar (it ignores them unless the first is --help or --version). */
  args?: string[];
  /** Environment of the sidecar (default: this process's). */
  env?: NodeJS.ProcessEnv;
  /** Default deadline of the greeting and of every call, ms (default 10000; Infinity: none). */
  timeoutMs?: number;
  /** Aborts the wait for the greeting. */
  signal?: AbortSignal;
  /** Most streamed snapshots kept while nobody reads them (default 4096); older ones are dropped. */
  streamBuffer?: number;
}

/** Deadline of one call: the call rejects with SidecarTimeoutError when either passes. */
export interface CallOptions {
  signal?: AbortSignal;
  /** ms; default: the session's timeoutMs. Infinity: no limit. */
  timeoutMs?: number;
}

/** A process to watch besides the root's tree. */
export interface ExternalProcess {
  pid: number;
  /** Start time, ms since the Unix epoch; absent or null matches any process with the pid. */
  startTimeMs?: U64 | null;
}

export interface ConfigureOptions {
  /** Root of the watched tree. */
  rootPid: number;
  /** Period of periodic samples, ms; 0 for none; clamped by the sidecar to 250..60000. */
  sampleIntervalMs: U64;
  externalProcesses?: ExternalProcess[];
}

export interface ReadHistoryOptions extends CallOptions {
  /** The window, ms back from now (at most one hour counts). */
  windowMs: U64;
  /** Drop samples with a sequence at or below this one (e.g. the last sequence an earlier read returned). */
  sinceSequence?: U64;
}

const DEFAULT_TIMEOUT_MS = 10_000;

/**
 * A running sidecar. Events: `'end'` (a {@link SessionEnd}) when the
 * sidecar has exited and its output is read.
 */
export class Sidecar extends EventEmitter {
  /** The child process (its pid is `process.pid`). */
  readonly process: ChildProcess;
  /** Settles when the sidecar has exited and all its output has been read; never rejects. */
  readonly ended: Promise<SessionEnd>;
  /** Streamed snapshots dropped because nobody read them in time. */
  droppedSnapshots = 0;

  private helloMessage: Hello | null = null;
  private readonly greeting: Promise<Hello>;
  private greetingSettle: { resolve: (h: Hello) => void; reject: (e: Error) => void } | null = null;
  private readonly ledger = new CommandLedger();
  private readonly stream: Snapshot[] = [];
  private streamWaiters: Array<() => void> = [];
  private readonly streamBuffer: number;
  private readonly defaultTimeoutMs: number;
  private failure: Error | null = null;
  private endInfo: SessionEnd | null = null;
  private stopSending: string | null = null;
  private cleanEnd = false;
  private requestCounter = 0;
  private rootPid: number | null = null;
  private rootStartMs: U64 | null = null;
  private stderrText = '';

  private constructor(path: string, options: StartOptions) {
    super();
    this.streamBuffer = options.streamBuffer ?? 4096;
    this.defaultTimeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
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
      let spawnError: Error | null = null;
      child.on('error', (error) => {
        spawnError = error;
        this.greetingSettle?.reject(error);
        if (child.pid === undefined) {
          // It never started: no 'close' with a status follows reliably.
          resolve(this.finish({ status: null, signal: null, errorLine: null }, error));
        }
      });
      child.on('close', (status, signal) => {
        const errorLine = this.stderrText.split('\n').find((l) => l.startsWith('Error: ')) ?? null;
        resolve(this.finish({ status, signal, errorLine }, spawnError));
      });
    });
  }

  /**
   * Starts the sidecar at `path` (default: `sidecar` on PATH) and resolves
   * once its greeting has been read.
   */
  static async start(path = 'sidecar', options: StartOptions = {}): Promise<Sidecar> {
    const sidecar = new Sidecar(path, options);
    try {
      await sidecar.deadline(sidecar.greeting, options, 'the greeting');
    } catch (error) {
      if (sidecar.endInfo === null) sidecar.process.kill('SIGKILL');
      await sidecar.ended;
      throw error;
    }
    return sidecar;
  }

  /** The greeting. */
  get hello(): Hello {
    if (this.helloMessage === null) throw new SidecarClosedError('no greeting yet', null);
    return this.helloMessage;
  }

  /** How the session ended, or null while it runs. */
  get end(): SessionEnd | null {
    return this.endInfo;
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
  async sampleNow(options: CallOptions = {}): Promise<Snapshot> {
    const entry = this.write('sampleNow', { requestId: this.nextRequestId() }, true, options);
    return (await this.deadline(entry.outcome, options, 'the sampleNow answer')) as Snapshot;
  }

  /** Every process of the system: pid, parent pid and name. */
  async processTable(options: CallOptions = {}): Promise<ProcessTableEntry[]> {
    const entry = this.write('processTable', { requestId: this.nextRequestId() }, true, options);
    return (await this.deadline(entry.outcome, options, 'the processTable answer')) as ProcessTableEntry[];
  }

  /**
   * The kept samples of the last `windowMs`, oldest first, assembled from
   * all chunks of the answer; with `sinceSequence`, only later samples.
   */
  async readHistory(options: ReadHistoryOptions): Promise<Snapshot[]> {
    const fields = { requestId: this.nextRequestId(), windowMs: checkU64('windowMs', options.windowMs) };
    const since = options.sinceSequence === undefined ? undefined : checkU64('sinceSequence', options.sinceSequence);
    const entry = this.write('readHistory', fields, true, options);
    const snapshots = (await this.deadline(entry.outcome, options, 'the readHistory answer')) as Snapshot[];
    return since === undefined ? snapshots : snapshots.filter((s) => compareU64(s.sequence, since) > 0);
  }

  /** Ends the session: the sidecar exits with status 0 and drops commands behind it. */
  async shutdown(): Promise<void> {
    this.write('shutdown', {}, true);
    this.stopSending = 'shutdown was sent';
    this.cleanEnd = true;
  }

  /** Closes the sidecar's input: it answers what was sent, then exits with status 0. */
  endInput(): void {
    if (this.stopSending === null) this.stopSending = 'the input was closed';
    this.cleanEnd = true;
    this.process.stdin!.end();
  }

  /** Waits until the sidecar has handled every command sent so far. */
  async sync(options: CallOptions = {}): Promise<void> {
    const entry = this.write('readHistory', { requestId: this.nextRequestId(), windowMs: 0 }, true, options);
    try {
      await this.deadline(entry.outcome, options, 'the sync answer');
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
  async *snapshots(options: CallOptions = {}): AsyncGenerator<Snapshot, void, undefined> {
    for (;;) {
      const next = this.stream.shift();
      if (next !== undefined) {
        yield next;
        continue;
      }
      if (this.endInfo !== null || this.failure !== null) {
        if (this.cleanEnd && this.failure instanceof SidecarClosedError) return;
        throw this.failure ?? new SidecarClosedError('the session has ended', this.endInfo);
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
  rootGone(snapshot: Snapshot): boolean {
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
    if (options.signal?.aborted) throw new SidecarTimeoutError(`aborted before ${type} was sent`);
    if (this.failure !== null) throw this.failure;
    if (this.stopSending !== null) throw new SidecarClosedError(`no command can be sent: ${this.stopSending}`, this.endInfo);
    const entry = this.ledger.record(type, fields, checked);
    const line = stringifyCommand(raw ?? { version: 3, type, ...fields });
    this.process.stdin!.write(`${line}\n`);
    return entry;
  }

  /** Races `promise` against the call's deadline and abort signal. */
  private deadline<T>(promise: Promise<T>, options: CallOptions, what: string): Promise<T> {
    const timeoutMs = options.timeoutMs ?? this.defaultTimeoutMs;
    const signal = options.signal;
    if (signal?.aborted) return Promise.reject(new SidecarTimeoutError(`aborted before ${what} came`));
    if (!Number.isFinite(timeoutMs) && signal === undefined) return promise;
    return new Promise<T>((resolve, reject) => {
      let timer: NodeJS.Timeout | undefined;
      const onAbort = (): void => {
        cleanup();
        reject(new SidecarTimeoutError(`aborted before ${what} came`));
      };
      const cleanup = (): void => {
        clearTimeout(timer);
        signal?.removeEventListener('abort', onAbort);
      };
      if (Number.isFinite(timeoutMs)) {
        timer = setTimeout(() => {
          cleanup();
          reject(new SidecarTimeoutError(`no ${what} within ${timeoutMs} ms`));
        }, timeoutMs);
      }
      signal?.addEventListener('abort', onAbort, { once: true });
      promise.then(
        (value) => {
          cleanup();
          resolve(value);
        },
        (error: unknown) => {
          cleanup();
          reject(error);
        },
      );
    });
  }

  private onLine(line: string): void {
    if (this.failure !== null) return;
    let message: { type?: unknown; requestId?: unknown; [key: string]: unknown };
    try {
      message = parseWireJson(line) as typeof message;
    } catch (error) {
      this.breakSession(new SidecarProtocolError(`a line that is not JSON: ${String(error)}`));
      return;
    }
    try {
      this.dispatch(message);
    } catch (error) {
      this.breakSession(error instanceof Error ? error : new SidecarProtocolError(String(error)));
    }
  }

  private dispatch(message: { type?: unknown; requestId?: unknown; [key: string]: unknown }): void {
    if (this.helloMessage === null) {
      if (message.type !== 'hello') throw new SidecarProtocolError(`the first line is not a greeting: ${String(message.type)}`);
      this.helloMessage = message as unknown as Hello;
      this.greetingSettle?.resolve(this.helloMessage);
      return;
    }
    switch (message.type) {
      case 'snapshot': {
        const snapshot = message as unknown as Snapshot;
        if (snapshot.requestId === undefined) {
          this.stream.push(snapshot);
          if (this.stream.length > this.streamBuffer) {
            this.stream.shift();
            this.droppedSnapshots += 1;
          }
          this.wakeStream();
        } else {
          this.ledger.settleAnswer({ kind: 'sampleNow', requestId: snapshot.requestId, value: snapshot });
        }
        return;
      }
      case 'historyChunk': {
        const chunk = message as unknown as HistoryChunk;
        this.ledger.settleAnswer({ kind: 'readHistory', requestId: chunk.requestId, done: chunk.done, snapshots: chunk.snapshots });
        return;
      }
      case 'processTable': {
        const table = message as unknown as ProcessTable;
        this.ledger.settleAnswer({ kind: 'processTable', requestId: table.requestId, value: table.processes });
        return;
      }
      case 'error':
        this.ledger.settleError(message as unknown as ErrorMessage);
        return;
      default:
        throw new SidecarProtocolError(`an unexpected line of type ${JSON.stringify(message.type)}`);
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

  private finish(end: SessionEnd, spawnError: Error | null): SessionEnd {
    this.endInfo = end;
    const closed = new SidecarClosedError(
      `the sidecar ended (status ${String(end.status)}${end.signal ? `, signal ${end.signal}` : ''})` +
        (end.errorLine ? `: ${end.errorLine}` : ''),
      end,
    );
    this.greetingSettle?.reject(spawnError ?? closed);
    if (this.failure === null) {
      this.failure = closed;
      this.ledger.failAll(closed, this.cleanEnd);
    }
    this.wakeStream();
    this.emit('end', end);
    return end;
  }
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
