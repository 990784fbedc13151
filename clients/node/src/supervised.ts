/**
 * A sidecar that is started again when it ends unexpectedly.
 *
 * The supervisor keeps what the parent set (streaming, the configuration
 * with its interval and external processes) and applies it to every new
 * session before the session is used, so that periodic samples go on. The
 * snapshot iterator runs across restarts; calls made while a restart is
 * under way wait for the new session (within their own deadline); calls
 * that were waiting on the session that ended reject with its
 * SidecarClosedError. History cursors stay bound to their session: after a
 * restart, a cursor of the earlier session is refused.
 */

import { Sidecar, type ConfigureOptions, type ReadHistoryOptions, type StartOptions } from './client.js';
import { checkCursor, HistoryCursor, type HistoryRead, type SessionInfo } from './cursor.js';
import { withDeadline, type CallOptions } from './deadline.js';
import { SidecarClosedError, type SessionEnd } from './errors.js';
import { typedEmitter } from './events.js';
import type { ExternalProcess } from './identity.js';
import type { Hello, Integer, ProcessTableEntry, Snapshot, U64 } from './messages.js';

/** How restarts are paced; every field has a default. */
export interface RestartOptions {
  /** Wait before the first restart after an unexpected end, ms (default 100). */
  initialDelayMs?: number | undefined;
  /** Each further attempt in a row waits twice as long, up to this, ms (default 5000). */
  maxDelayMs?: number | undefined;
  /** Most attempts in a row (failed starts and short-lived sessions) before giving up (default 5). */
  maxAttempts?: number | undefined;
  /** A session that ran this long counts as healthy: the next restart is a first attempt again, ms (default 10000). */
  stableAfterMs?: number | undefined;
}

/** Options of {@link SupervisedSidecar.start}: those of every session, and the pacing of restarts. */
export type SupervisedStartOptions = StartOptions & { restart?: RestartOptions | undefined };

/** A restart: how the earlier session ended, and the new one. */
export interface RestartEvent {
  /** How the earlier session ended. */
  end: SessionEnd;
  /** The session that ended; its history cursors are no longer accepted. */
  previous: SessionInfo;
  /** The new session, already set up as the parent had set the earlier one. */
  session: SessionInfo;
  /** 1 for the first attempt after a healthy session, one more for each attempt in a row. */
  attempt: number;
}

/** An attempt to restart that failed. */
export interface RestartFailedEvent {
  error: Error;
  attempt: number;
  /** Wait before the next attempt, ms; null when no attempt follows (the supervisor gives up). */
  nextDelayMs: number | null;
}

/** The events of a {@link SupervisedSidecar}. */
export interface SupervisedEvents {
  /** The sidecar ended unexpectedly and runs again. */
  restart: [event: RestartEvent];
  /** An attempt to start it again failed. */
  restartFailed: [event: RestartFailedEvent];
  /** The last session has ended and none follows: after close(), or when the supervisor gave up. */
  end: [end: SessionEnd];
}

const DEFAULT_RESTART: Required<{ [K in keyof RestartOptions]: number }> = {
  initialDelayMs: 100,
  maxDelayMs: 5000,
  maxAttempts: 5,
  stableAfterMs: 10_000,
};

type State = 'running' | 'restarting' | 'closed' | 'failed';

/**
 * A sidecar started again after an unexpected end, with a bounded
 * back-off; the commands of {@link Sidecar}, applied to the current session.
 */
export class SupervisedSidecar<I extends Integer = number> extends typedEmitter<SupervisedEvents>() {
  /** Restarts so far. */
  restarts = 0;

  private currentSidecar: Sidecar<I>;
  private state: State = 'running';
  private failure: Error | null = null;
  private lastEnd: SessionEnd | null = null;
  private startedAt = Date.now();
  private attempts = 0;
  private timer: NodeJS.Timeout | null = null;
  private wakeTimer: (() => void) | null = null;
  private next: { promise: Promise<Sidecar<I>>; resolve: (s: Sidecar<I>) => void; reject: (e: Error) => void } | null = null;
  private streaming = false;
  private config: ConfigureOptions | null = null;
  private readonly sessionOf = new WeakMap<Snapshot<I>, SessionInfo>();
  private readonly pacing: Required<{ [K in keyof RestartOptions]: number }>;
  private readonly defaultTimeoutMs: number;

  private constructor(
    first: Sidecar<I>,
    private readonly path: string,
    private readonly options: StartOptions,
    restart: RestartOptions,
  ) {
    super();
    this.pacing = { ...DEFAULT_RESTART };
    for (const key of Object.keys(DEFAULT_RESTART) as Array<keyof RestartOptions>) {
      const value = restart[key];
      if (value !== undefined) this.pacing[key] = value;
    }
    this.defaultTimeoutMs = options.timeoutMs ?? 10_000;
    this.currentSidecar = first;
    this.watch(first);
  }

  /**
   * Starts the sidecar as {@link Sidecar.start} does (rejecting as it does
   * when the first start fails) and supervises it.
   */
  static start(
    path?: string,
    options?: SupervisedStartOptions & { exactIntegers?: false | undefined },
  ): Promise<SupervisedSidecar<number>>;
  static start(path: string | undefined, options: SupervisedStartOptions & { exactIntegers: true }): Promise<SupervisedSidecar<U64>>;
  static start(path?: string, options?: SupervisedStartOptions): Promise<SupervisedSidecar<number> | SupervisedSidecar<U64>>;
  static async start(path = 'sidecar', options: SupervisedStartOptions = {}): Promise<SupervisedSidecar<number> | SupervisedSidecar<U64>> {
    const { restart = {}, ...startOptions } = options;
    const { signal: _signal, ...everyStart } = startOptions; // the signal is for the first start only
    const first = (await Sidecar.start(path, startOptions)) as Sidecar<Integer>;
    return new SupervisedSidecar<Integer>(first, path, everyStart, restart) as SupervisedSidecar<number> | SupervisedSidecar<U64>;
  }

  /** The current session's client (replaced at each restart). */
  get sidecar(): Sidecar<I> {
    return this.currentSidecar;
  }

  /** The current session. */
  get session(): SessionInfo {
    return this.currentSidecar.session;
  }

  /** The current session's greeting. */
  get hello(): Hello {
    return this.currentSidecar.hello;
  }

  // --- commands, applied to the current session and kept for the next ----

  async configure(config: ConfigureOptions, options: CallOptions = {}): Promise<void> {
    await (await this.live(options)).configure(config, options);
    this.config = { ...config, externalProcesses: config.externalProcesses?.map((p) => ({ ...p })) };
  }

  async setExternalProcesses(processes: ExternalProcess[], options: CallOptions = {}): Promise<void> {
    await (await this.live(options)).setExternalProcesses(processes, options);
    if (this.config !== null) this.config = { ...this.config, externalProcesses: processes.map((p) => ({ ...p })) };
  }

  async setSampleInterval(sampleIntervalMs: U64, options: CallOptions = {}): Promise<void> {
    await (await this.live(options)).setSampleInterval(sampleIntervalMs, options);
    if (this.config !== null) this.config = { ...this.config, sampleIntervalMs };
  }

  async setStreaming(enabled: boolean, options: CallOptions = {}): Promise<void> {
    await (await this.live(options)).setStreaming(enabled, options);
    this.streaming = enabled;
  }

  async sampleNow(options: CallOptions = {}): Promise<Snapshot<I>> {
    const sidecar = await this.live(options);
    return this.mark(await sidecar.sampleNow(options), sidecar);
  }

  async processTable(options: CallOptions = {}): Promise<ProcessTableEntry[]> {
    return (await this.live(options)).processTable(options);
  }

  /** As {@link Sidecar.readHistory}; a cursor of an earlier session is refused with a SidecarCursorError. */
  async readHistory(options: ReadHistoryOptions<I>): Promise<HistoryRead<I>> {
    const sidecar = await this.live(options);
    if (options.after !== undefined) checkCursor(options.after, sidecar.session);
    const read = await sidecar.readHistory(options);
    for (const snapshot of read) this.sessionOf.set(snapshot, sidecar.session);
    return read;
  }

  /** The cursor after `snapshot`; a snapshot of an earlier session is refused with a SidecarCursorError. */
  cursorAfter(snapshot: Snapshot<I>): HistoryCursor<I> {
    const session = this.sessionOf.get(snapshot);
    if (session === undefined) return this.currentSidecar.cursorAfter(snapshot);
    return checkCursor<I>(new HistoryCursor(session, snapshot.sequence), this.currentSidecar.session);
  }

  async sync(options: CallOptions = {}): Promise<void> {
    await (await this.live(options)).sync(options);
  }

  /** As {@link Sidecar.rootGone}, for the current session's configuration. */
  rootGone(snapshot: Snapshot<I>): boolean {
    return this.currentSidecar.rootGone(snapshot);
  }

  /**
   * Streamed snapshots across restarts: the iteration goes on in the new
   * session (its sequences start again at 1; the 'restart' event tells).
   * Ends after close(); throws when the supervisor gives up, and
   * SidecarTimeoutError when no snapshot comes within the deadline (a
   * restart included).
   */
  async *snapshots(options: CallOptions = {}): AsyncGenerator<Snapshot<I>, void, undefined> {
    for (;;) {
      let sidecar: Sidecar<I>;
      try {
        sidecar = await this.live(options);
      } catch (error) {
        if (this.state === 'closed') return;
        throw error;
      }
      try {
        for await (const snapshot of sidecar.snapshots(options)) yield this.mark(snapshot, sidecar);
        return; // that session ended as asked
      } catch (error) {
        if (!(error instanceof SidecarClosedError) || this.state === 'closed') {
          if (this.state === 'closed' && error instanceof SidecarClosedError) return;
          throw error;
        }
        // The session ended unexpectedly: go on with the next one.
      }
    }
  }

  // --- ending ---------------------------------------------------------------

  /**
   * Ends supervision and the current session as {@link Sidecar.close}
   * does; no restart follows. Resolves with how the last session ended.
   */
  async close(timeoutMs = 5000): Promise<SessionEnd> {
    const before = this.state;
    if (before === 'running') {
      this.state = 'closed'; // the session's end is then final ('end' follows)
      return this.currentSidecar.close(timeoutMs);
    }
    if (before === 'restarting') {
      this.state = 'closed';
      this.stopWaiting(new SidecarClosedError('The supervised sidecar was closed', this.lastEnd));
      this.emit('end', this.lastEnd!);
    }
    return this.lastEnd ?? this.currentSidecar.ended;
  }

  async [Symbol.asyncDispose](): Promise<void> {
    await this.close();
  }

  // --- internals ------------------------------------------------------------

  private mark(snapshot: Snapshot<I>, sidecar: Sidecar<I>): Snapshot<I> {
    this.sessionOf.set(snapshot, sidecar.session);
    return snapshot;
  }

  /** The current session, once it runs; waits through a restart. */
  private live(options: CallOptions): Promise<Sidecar<I>> {
    if (this.state === 'running') return Promise.resolve(this.currentSidecar);
    if (this.state === 'closed') return Promise.reject(new SidecarClosedError('The supervised sidecar was closed', this.lastEnd));
    if (this.state === 'failed') return Promise.reject(this.failure!);
    return withDeadline(this.next!.promise, options.timeoutMs ?? this.defaultTimeoutMs, options.signal, 'the restarted sidecar');
  }

  private watch(sidecar: Sidecar<I>): void {
    this.startedAt = Date.now();
    sidecar.once('end', (end) => this.onEnd(sidecar, end));
  }

  private onEnd(sidecar: Sidecar<I>, end: SessionEnd): void {
    if (sidecar !== this.currentSidecar) return;
    this.lastEnd = end;
    if (this.state === 'closed' || sidecar.endAsked) {
      this.state = 'closed';
      this.emit('end', end);
      return;
    }
    this.state = 'restarting';
    let resolve!: (s: Sidecar<I>) => void;
    let reject!: (e: Error) => void;
    const promise = new Promise<Sidecar<I>>((res, rej) => {
      resolve = res;
      reject = rej;
    });
    promise.catch(() => {});
    this.next = { promise, resolve, reject };
    if (Date.now() - this.startedAt >= this.pacing.stableAfterMs) this.attempts = 0;
    void this.restart(end, sidecar.session);
  }

  private delayOf(attempt: number): number {
    return Math.min(this.pacing.maxDelayMs, this.pacing.initialDelayMs * 2 ** (attempt - 1));
  }

  private async restart(end: SessionEnd, previous: SessionInfo): Promise<void> {
    this.attempts += 1;
    await this.pause(this.delayOf(this.attempts));
    while (this.state === 'restarting') {
      let started: Sidecar<I> | null = null;
      try {
        started = (await Sidecar.start(this.path, this.options)) as unknown as Sidecar<I>;
        if (this.streaming) await started.setStreaming(true);
        if (this.config !== null) await started.configure(this.config);
        await started.sync();
      } catch (error) {
        if (started !== null) void started.close();
        const giveUp = this.attempts >= this.pacing.maxAttempts;
        const nextDelayMs = giveUp ? null : this.delayOf(this.attempts + 1);
        this.emit('restartFailed', { error: error as Error, attempt: this.attempts, nextDelayMs });
        if (giveUp) {
          this.giveUp(end);
          return;
        }
        this.attempts += 1;
        await this.pause(nextDelayMs!);
        continue;
      }
      if (this.state !== 'restarting') {
        await started.close();
        return;
      }
      this.currentSidecar = started;
      this.state = 'running';
      this.restarts += 1;
      this.watch(started);
      this.emit('restart', { end, previous, session: started.session, attempt: this.attempts });
      this.next?.resolve(started);
      this.next = null;
      return;
    }
  }

  private giveUp(end: SessionEnd): void {
    this.state = 'failed';
    this.failure = new SidecarClosedError(
      `The sidecar could not be started again after ${this.attempts} attempts in a row; the last session ended with ` +
        (end.signal === null ? `status ${String(end.status)}` : `signal ${end.signal}`),
      end,
    );
    this.stopWaiting(this.failure);
    this.emit('end', end);
  }

  /** Waits `ms`, or less when the supervisor is closed meanwhile. */
  private pause(ms: number): Promise<void> {
    return new Promise((resolve) => {
      this.wakeTimer = resolve;
      this.timer = setTimeout(resolve, ms);
    });
  }

  private stopWaiting(error: Error): void {
    if (this.timer !== null) clearTimeout(this.timer);
    this.wakeTimer?.();
    this.timer = null;
    this.wakeTimer = null;
    this.next?.reject(error);
    this.next = null;
  }
}

