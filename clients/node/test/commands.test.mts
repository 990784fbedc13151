// Every command against the real sidecar.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { identity, SidecarClosedError, type Snapshot } from 'sidecar-client';
import { present, startSidecar, startTree, waitUntil } from './support.mjs';

test('greeting, configure, sampleNow, processTable', async (t) => {
  const tree = startTree(t, 'sleep 60 & sleep 60 & wait');
  const sidecar = await startSidecar(t);
  assert.equal(sidecar.hello.type, 'hello');
  assert.equal(sidecar.hello.version, 3);
  assert.equal(sidecar.hello.sidecarPid, sidecar.process.pid);
  assert.equal(sidecar.session.sidecarPid, sidecar.process.pid);

  await sidecar.configure({ rootPid: tree.pid, sampleIntervalMs: 0 });
  const snapshot = await waitUntil(async () => {
    const s = await sidecar.sampleNow();
    return s.processes.length === 3 && s.processes.every((p) => p.pid === tree.pid || p.name === 'sleep') && s;
  }, 'the tree with its two sleeping children');
  assert.equal(typeof snapshot.requestId, 'string');
  assert.equal(snapshot.retainedProcessCount, 3);
  assert.deepEqual(snapshot.processes.map((p) => p.pid), snapshot.processes.map((p) => p.pid).sort((a, b) => a - b));
  const children = snapshot.processes.filter((p) => p.pid !== tree.pid);
  assert.ok(children.every((p) => p.ppid === tree.pid));
  for (const p of snapshot.processes) {
    for (const key of ['startTimeMs', 'runTimeMs', 'cpuTimeMs', 'residentBytes', 'virtualBytes', 'ioReadBytes', 'ioWriteBytes'] as const) {
      assert.equal(typeof p[key], 'number', key);
    }
  }

  const table = await sidecar.processTable();
  const row = present(table.find((r) => r.pid === tree.pid), 'row of the tree');
  assert.deepEqual(Object.keys(row), ['pid', 'ppid', 'name']);
  assert.equal(row.ppid, process.pid);
  assert.ok(table.some((r) => r.pid === sidecar.process.pid));
});

test('setExternalProcesses matches by identity; a wrong start time drops the process', async (t) => {
  const root = startTree(t, 'exec sleep 60');
  const outsider = startTree(t, 'exec sleep 60');
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: outsider.pid, sampleIntervalMs: 0 });
  const alone = await waitUntil(async () => {
    const s = await sidecar.sampleNow();
    return s.processes.length === 1 && s.processes[0]?.name === 'sleep' && s;
  }, 'the outsider as a sleep');
  const named = identity(present(alone.processes[0], 'the outsider'));
  assert.deepEqual(named, { pid: outsider.pid, startTimeMs: alone.processes[0]?.startTimeMs });

  await sidecar.configure({ rootPid: root.pid, sampleIntervalMs: 0 });
  await sidecar.setExternalProcesses([{ pid: outsider.pid, startTimeMs: named.startTimeMs + 999 }]);
  let s = await sidecar.sampleNow();
  assert.deepEqual(s.externalProcesses, [named]);
  assert.deepEqual(identity(present(s.externalProcesses[0], 'the match')), named);
  assert.ok(s.processes.some((p) => p.pid === outsider.pid));

  await sidecar.setExternalProcesses([{ pid: outsider.pid, startTimeMs: named.startTimeMs - 1 }]);
  s = await sidecar.sampleNow();
  assert.deepEqual(s.externalProcesses, []);
  assert.ok(!s.processes.some((p) => p.pid === outsider.pid));
});

test('setStreaming and setSampleInterval drive snapshots()', async (t) => {
  const tree = startTree(t, 'exec sleep 60');
  const sidecar = await startSidecar(t);
  await sidecar.setStreaming(true);
  await sidecar.configure({ rootPid: tree.pid, sampleIntervalMs: 250 });
  const seen: number[] = [];
  for await (const snapshot of sidecar.snapshots({ timeoutMs: 5000 })) {
    assert.equal(snapshot.requestId, undefined);
    seen.push(snapshot.sequence);
    if (seen.length === 3) break;
  }
  const first = present(seen[0], 'first sequence');
  assert.deepEqual(seen, [first, first + 1, first + 2]);

  // Between streamed samples, answers still reach their own calls.
  const answered = await sidecar.sampleNow();
  assert.equal(typeof answered.requestId, 'string');

  await sidecar.setSampleInterval(0);
  await sidecar.setStreaming(false);
  await sidecar.sync();
  const settled = await sidecar.sampleNow();
  await assert.rejects(
    async () => {
      for await (const late of sidecar.snapshots({ timeoutMs: 600 })) {
        assert.ok(late.sequence < settled.sequence, 'a periodic sample after the interval was set to 0');
      }
    },
    { name: 'SidecarTimeoutError', message: 'A streamed snapshot did not come within 600 ms' },
  );
});

test('rootGone tells when the root has exited', async (t) => {
  const tree = startTree(t, 'exec sleep 60');
  const sidecar = await startSidecar(t);
  const empty = { processes: [] } as unknown as Snapshot;
  assert.throws(() => sidecar.rootGone(empty), { message: 'rootGone() needs a configure() first' });
  await sidecar.configure({ rootPid: tree.pid, sampleIntervalMs: 0 });
  const first = await sidecar.sampleNow();
  assert.equal(sidecar.rootGone(first), false);
  process.kill(tree.pid, 'SIGKILL');
  await waitUntil(async () => sidecar.rootGone(await sidecar.sampleNow()), 'the root to be gone');

  // A pid held by a process with another start time is not the root.
  const changed = (edit: (p: Snapshot['processes'][number]) => void): Snapshot => {
    const copy = structuredClone(first);
    edit(present(copy.processes.find((p) => p.pid === tree.pid), 'the root'));
    return copy;
  };
  assert.equal(sidecar.rootGone(changed((p) => { p.startTimeMs += 1000; })), true);
  assert.equal(sidecar.rootGone(changed((p) => { p.status = 'Zombie'; })), true);
  assert.equal(sidecar.rootGone(first), false);
});

test('shutdown ends the session with status 0; later calls are refused', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  await sidecar.shutdown();
  await assert.rejects(sidecar.sampleNow(), SidecarClosedError);
  const end = await sidecar.ended;
  assert.deepEqual(end, { status: 0, signal: null, errorLine: null });
  assert.deepEqual(await sidecar.close(), end);
});
