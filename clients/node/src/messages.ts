/**
 * The records the sidecar writes, with the wire's own keys.
 *
 * Integers the wire calls u64 (times, sizes, counters, sequences) have the
 * type parameter `I`: `number` by default. A client started with
 * `exactIntegers: true` has `I = number | bigint` and receives a `bigint`
 * for a value above `Number.MAX_SAFE_INTEGER` (2^53 − 1); without it such a
 * value is an error naming the field, never a rounded number. u32 values
 * always fit a `number`.
 *
 * Every record type is paired with a table of its keys and their wire
 * kinds (`…_FIELDS`). The tables are typed so that they must list exactly
 * the record's keys, and the tests compare them with `docs/schema/`: the
 * types and the schemas cannot drift apart unnoticed.
 */

/**
 * An unsigned 64-bit wire integer as a client with `exactIntegers: true`
 * gives it: a `bigint` only above 2^53 − 1. Values sent may always be
 * either.
 */
export type U64 = number | bigint;

/** The integer type of u64 fields: `number` (default) or `U64` (exact). */
export type Integer = number | bigint;

/** The status texts of a process; `Unknown(N)` carries the system's own code. */
export const PROCESS_STATUSES = [
  'Run', 'Sleep', 'Idle', 'Stop', 'Zombie', 'Tracing', 'Dead', 'Wakekill', 'Waking',
  'Parked', 'LockBlocked', 'UninterruptibleDiskSleep', 'Suspended',
] as const;

/** The status of a process, as the wire writes it. */
export type ProcessStatus = (typeof PROCESS_STATUSES)[number] | `Unknown(${number})`;

/**
 * The kind of a wire field, as the schemas give it; a field with a fixed
 * set of values is given by the list of its values.
 */
export type FieldKind =
  | 'u32' | 'u64' | 'optionalU64' | 'string' | 'boolean' | 'number'
  | 'const' | 'status' | 'array' | 'object' | readonly string[];

export const PLATFORMS = ['linux', 'macos'] as const;
export const ARCHES = ['x86_64', 'aarch64', 'unknown'] as const;
export const IO_SEMANTICS = ['storage', 'all-io'] as const;
export const ERROR_CODES = ['invalid-command', 'protocol-mismatch', 'not-configured'] as const;

type FieldTable<T> = { readonly [K in keyof Required<T>]: FieldKind };

/** The greeting, the first line of every session. */
export interface Hello {
  version: 3;
  type: 'hello';
  /** Version of the sidecar program, e.g. "0.1.0". */
  sidecarVersion: string;
  /** The sidecar's own process id. */
  sidecarPid: number;
  /** System the binary was built for. */
  platform: (typeof PLATFORMS)[number];
  /** Processor architecture the binary was built for. */
  arch: (typeof ARCHES)[number];
  /** Kinds of values snapshots carry; all true in protocol version 3. */
  capabilities: Capabilities;
}

export interface Capabilities {
  cumulativeCpuTime: boolean;
  currentCpuPercent: boolean;
  residentMemory: boolean;
  virtualMemory: boolean;
  ioBytes: boolean;
  processStartTime: boolean;
  processTree: boolean;
}

/** An external process matched in a sample. */
export interface MatchedExternalProcess<I extends Integer = number> {
  /** Process id. */
  pid: number;
  /** Start time of the live process, ms since the Unix epoch (whole seconds × 1000). */
  startTimeMs: I;
}

/** One watched process in one sample. */
export interface ProcessSample<I extends Integer = number> {
  /** Process id. */
  pid: number;
  /** Parent's process id (0 without a parent). */
  ppid: number;
  /** Start time, ms since the Unix epoch; whole seconds × 1000. */
  startTimeMs: I;
  /** Time since the start, ms; whole seconds. */
  runTimeMs: I;
  /** Executable name. */
  name: string;
  /** Command line, arguments joined by spaces. */
  command: string;
  /** Status text: "Run", "Sleep", "Zombie", …, or "Unknown(N)". */
  status: ProcessStatus;
  /** CPU usage in percent of ONE processor since the previous reading; null if not finite. */
  cpuPercent: number | null;
  /** CPU time used, user plus system, ms. */
  cpuTimeMs: I;
  /** Resident memory, bytes. */
  residentBytes: I;
  /** Virtual memory, bytes. */
  virtualBytes: I;
  /** Bytes read from storage. */
  ioReadBytes: I;
  /** Bytes written to storage. */
  ioWriteBytes: I;
  /** What the I/O counters count: "storage" (storage I/O only) or "all-io". */
  ioSemantics: (typeof IO_SEMANTICS)[number];
}

/** One sample of the watched processes. */
export interface Snapshot<I extends Integer = number> {
  version: 3;
  type: 'snapshot';
  /** Number of the sample in the session, from 1; a new session (a restart) starts again at 1. */
  sequence: I;
  /** Wall-clock time at the end of the collection, ms since the Unix epoch. */
  sampledAtUnixMs: I;
  /** Time the collection took, microseconds. */
  collectionDurationMicros: I;
  /** Processes on the system at this sample. */
  scannedProcessCount: I;
  /** Number of elements of `processes`. */
  retainedProcessCount: I;
  /** Selected processes without a sample; 0 in practice. */
  inaccessibleProcessCount: I;
  /** Only in the answer to sampleNow. */
  requestId?: string | undefined;
  /** External processes matched in this sample. */
  externalProcesses: Array<MatchedExternalProcess<I>>;
  /** Every watched process, sorted by pid ascending. */
  processes: Array<ProcessSample<I>>;
}

/** One part of the answer to readHistory. */
export interface HistoryChunk<I extends Integer = number> {
  version: 3;
  type: 'historyChunk';
  requestId: string;
  /** True on the last chunk of the answer. */
  done: boolean;
  /** Up to 32 snapshots, oldest first, without requestId. */
  snapshots: Array<Snapshot<I>>;
}

/** One row of the process table. */
export interface ProcessTableEntry {
  /** Process id. */
  pid: number;
  /** Parent's process id (0 without a parent). */
  ppid: number;
  /** Process name, at most 1024 bytes. */
  name: string;
}

/** The answer to processTable. */
export interface ProcessTable {
  version: 3;
  type: 'processTable';
  requestId: string;
  /** Every process of the system but pid 0, sorted by pid. */
  processes: ProcessTableEntry[];
}

/** The codes of refusals. */
export type ErrorCode = (typeof ERROR_CODES)[number];

/** A refused command. */
export interface ErrorMessage {
  version: 3;
  type: 'error';
  code: ErrorCode;
  /** Text for people. */
  message: string;
  /** False only for protocol-mismatch. */
  recoverable: boolean;
}

/** Any line the sidecar writes. */
export type Message<I extends Integer = number> = Hello | Snapshot<I> | HistoryChunk<I> | ProcessTable | ErrorMessage;

export const HELLO_FIELDS: FieldTable<Hello> = {
  version: 'const', type: 'const', sidecarVersion: 'string', sidecarPid: 'u32',
  platform: PLATFORMS, arch: ARCHES, capabilities: 'object',
};
export const MATCHED_EXTERNAL_PROCESS_FIELDS: FieldTable<MatchedExternalProcess> = {
  pid: 'u32', startTimeMs: 'u64',
};
export const PROCESS_SAMPLE_FIELDS: FieldTable<ProcessSample> = {
  pid: 'u32', ppid: 'u32', startTimeMs: 'u64', runTimeMs: 'u64', name: 'string',
  command: 'string', status: 'status', cpuPercent: 'number', cpuTimeMs: 'u64',
  residentBytes: 'u64', virtualBytes: 'u64', ioReadBytes: 'u64', ioWriteBytes: 'u64',
  ioSemantics: IO_SEMANTICS,
};
export const SNAPSHOT_FIELDS: FieldTable<Snapshot> = {
  version: 'const', type: 'const', sequence: 'u64', sampledAtUnixMs: 'u64',
  collectionDurationMicros: 'u64', scannedProcessCount: 'u64', retainedProcessCount: 'u64',
  inaccessibleProcessCount: 'u64', requestId: 'string', externalProcesses: 'array',
  processes: 'array',
};
export const HISTORY_CHUNK_FIELDS: FieldTable<HistoryChunk> = {
  version: 'const', type: 'const', requestId: 'string', done: 'boolean', snapshots: 'array',
};
export const PROCESS_TABLE_ENTRY_FIELDS: FieldTable<ProcessTableEntry> = {
  pid: 'u32', ppid: 'u32', name: 'string',
};
export const PROCESS_TABLE_FIELDS: FieldTable<ProcessTable> = {
  version: 'const', type: 'const', requestId: 'string', processes: 'array',
};
export const ERROR_FIELDS: FieldTable<ErrorMessage> = {
  version: 'const', type: 'const', code: ERROR_CODES, message: 'string', recoverable: 'boolean',
};
export const CAPABILITIES_FIELDS: FieldTable<Capabilities> = {
  cumulativeCpuTime: 'const', currentCpuPercent: 'const', residentMemory: 'const', virtualMemory: 'const',
  ioBytes: 'const', processStartTime: 'const', processTree: 'const',
};
