// Lines a parent writes every day, compiled (not run) by the package's tests
// under --strict --exactOptionalPropertyTypes --noUncheckedIndexedAccess.
// Each @ts-expect-error is a mistake the types must catch: the build fails
// if it compiles.
import {
  identity,
  Sidecar,
  SupervisedSidecar,
  type ExternalProcess,
  type HistoryCursor,
  type ProcessStatus,
  type ProcessTableEntry,
  type ReadHistoryOptions,
  type SessionEnd,
  type Snapshot,
  type U64,
} from 'sidecar-client';

export async function everyday(sidecar: Sidecar, s: Snapshot, sequence: number): Promise<void> {
  const p = s.processes[0];
  if (p === undefined) return;
  // Sizes, times, counters and sequences are plain numbers.
  const kib: number = p.residentBytes / 1024;
  const next: number = sequence + 1;
  const age: number = Date.now() - s.sampledAtUnixMs;
  const cpu: number = s.processes.reduce((sum, q) => sum + q.cpuTimeMs, 0);
  const when: Date = new Date(s.sampledAtUnixMs);
  const largest: number = Math.max(...s.processes.map((q) => q.residentBytes));
  const mib: string = (p.virtualBytes / 2 ** 20).toFixed(1);
  void [kib, next, age, cpu, when, largest, mib];

  // Status is the union of the wire's texts.
  const status: ProcessStatus = p.status;
  switch (status) {
    case 'Run':
    case 'Zombie':
    case 'Unknown(7)':
      break;
    // @ts-expect-error: a misspelt status
    case 'Runing':
      break;
  }

  // Events are typed by name and argument.
  sidecar.on('end', (end: SessionEnd) => console.log(end.status, end.signal, end.errorLine));
  // @ts-expect-error: no such event
  sidecar.on('ended', () => {});
  // @ts-expect-error: the argument is a SessionEnd
  sidecar.on('end', (end: string) => end);

  // Optional fields take undefined under exactOptionalPropertyTypes.
  const options: ReadHistoryOptions = { windowMs: 60_000, after: undefined, timeoutMs: undefined, signal: undefined };
  const history = await sidecar.readHistory(options);
  const last: number | undefined = history.at(-1)?.sequence;
  const cursor: HistoryCursor = history.cursor;
  const fresh = await sidecar.readHistory({ windowMs: 60_000, after: cursor });
  void [last, fresh];
  // @ts-expect-error: a bare sequence is no cursor
  await sidecar.readHistory({ windowMs: 60_000, after: 47 });
  await sidecar.configure({ rootPid: 1, sampleIntervalMs: 500, externalProcesses: undefined });
  await sidecar.sampleNow({ timeoutMs: undefined, signal: undefined });

  // identity() names a process for setExternalProcesses; rows are typed.
  const named: ExternalProcess = identity(p);
  await sidecar.setExternalProcesses([named, { pid: 2, startTimeMs: undefined }]);
  const rows: ProcessTableEntry[] = await sidecar.processTable();
  const names: string[] = rows.filter((r) => r.ppid === 1).map((r) => `${r.pid} ${r.name}`);
  void names;
}

export async function exact(path: string): Promise<void> {
  // A default client never shows bigint in a type …
  const plain = await Sidecar.start(path);
  const n: number = (await plain.sampleNow()).sequence;
  // … an exact one does, and its values must be handled as such.
  const wide = await Sidecar.start(path, { exactIntegers: true });
  const w: U64 = (await wide.sampleNow()).sequence;
  // @ts-expect-error: an exact value may be a bigint
  const x: number = (await wide.sampleNow()).sequence;
  const supervised = await SupervisedSidecar.start(path, { restart: { maxAttempts: 3 } });
  supervised.on('restart', (event) => console.log(event.end.status, event.session.id, event.attempt));
  const m: number = (await supervised.sampleNow()).sequence;
  void [n, w, x, m];
}
