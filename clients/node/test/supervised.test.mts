// A supervised sidecar killed mid-stream: it is started again with what the
// parent set, the iterator goes on, the parent is told, and cursors of the
// killed session are refused.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  SidecarClosedError,
  SidecarCursorError,
  SupervisedSidecar,
  type RestartEvent,
  type RestartFailedEvent,
  type SessionEnd,
} from 'sidecar-client';
import { BINARY, FAKE_SIDECAR, present, startTree, waitUntil } from './support.mjs';

test('a killed sidecar is started again; the iterator goes on and old cursors are refused', async (t) => {
  const root = startTree(t, 'exec sleep 60');
  const outsider = startTree(t, 'exec sleep 60');
  const supervised = await SupervisedSidecar.start(BINARY, { restart: { initialDelayMs: 10 } });
  t.after(() => supervised.close());
  const restarts: RestartEvent[] = [];
  supervised.on('restart', (event) => restarts.push(event));

  await supervised.setStreaming(true);
  await supervised.configure({ rootPid: root.pid, sampleIntervalMs: 1000 });
  await supervised.setSampleInterval(250);
  await supervised.setExternalProcesses([{ pid: outsider.pid }]);
  const before = await supervised.readHistory({ windowMs: 60_000 });
  const streamedBefore = await supervised.snapshots({ timeoutMs: 10_000 }).next();
  if (streamedBefore.done === true) assert.fail('no streamed snapshot');
  const first = supervised.session;

  // Sequences start again at 1 in a new session: a drop marks the restart.
  const seen: Array<{ session: number; sequence: number; pids: number[] }> = [];
  let killed = false;
  for await (const snapshot of supervised.snapshots({ timeoutMs: 20_000 })) {
    const last = seen.at(-1);
    const session = last === undefined ? 0 : last.session + (snapshot.sequence <= last.sequence ? 1 : 0);
    seen.push({ session, sequence: snapshot.sequence, pids: snapshot.processes.map((p) => p.pid) });
    if (!killed) {
      killed = true;
      process.kill(first.sidecarPid, 'SIGKILL'); // the sidecar this test started
    } else if (seen.filter((s) => s.session === 1).length >= 2) {
      break;
    }
  }

  // Told once, with the end of the killed session and the new one.
  assert.equal(restarts.length, 1);
  const restart = present(restarts[0], 'restart event');
  assert.deepEqual(restart.end, { status: null, signal: 'SIGKILL', errorLine: null });
  assert.equal(restart.previous, first);
  assert.equal(restart.session, supervised.session);
  assert.notEqual(restart.session.sidecarPid, first.sidecarPid);
  assert.equal(restart.attempt, 1);
  assert.equal(supervised.restarts, 1);

  // The new session streams at the interval set last, with the external process.
  assert.equal(Math.max(...seen.map((s) => s.session)), 1);
  const after = seen.filter((s) => s.session === 1);
  assert.equal(after[0]?.sequence, 1, 'the new session numbers from 1, and streams its first sample');
  for (const s of after) assert.deepEqual(s.pids, [root.pid, outsider.pid].sort((a, b) => a - b));
  const history = await supervised.readHistory({ windowMs: 60_000 });
  const times = history.map((s) => s.sampledAtUnixMs);
  assert.ok(times.length >= 2 && times.every((t, i) => i === 0 || t - times[i - 1]! < 900), `interval 250 ms: ${times.join(' ')}`);

  // Cursors and snapshots of the killed session are refused, clearly.
  await assert.rejects(supervised.readHistory({ windowMs: 60_000, after: before.cursor }), SidecarCursorError);
  assert.throws(() => supervised.cursorAfter(streamedBefore.value), SidecarCursorError);
  const fresh = await supervised.readHistory({ windowMs: 60_000, after: supervised.cursorAfter(present(history[0], 'first sample')) });
  // Samples keep coming: the read after the first one holds the rest of the earlier read, then newer ones.
  const sequences = fresh.map((s) => s.sequence);
  assert.deepEqual(sequences.slice(0, history.length - 1), history.slice(1).map((s) => s.sequence));
  assert.ok(sequences.every((n, i) => n === (history[0]?.sequence ?? 0) + i + 1));
});

test('calls during a restart wait for the new session; close ends supervision', async (t) => {
  const supervised = await SupervisedSidecar.start(BINARY, { restart: { initialDelayMs: 200 } });
  t.after(() => supervised.close());
  const ends: SessionEnd[] = [];
  supervised.on('end', (end) => ends.push(end));
  await supervised.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  const old = supervised.session;
  process.kill(old.sidecarPid, 'SIGKILL');
  await waitUntil(() => supervised.sidecar.end !== null, 'the sidecar to end');
  const sample = await supervised.sampleNow(); // made while the restart waits out its delay
  assert.notEqual(supervised.session.id, old.id);
  assert.ok(sample.processes.some((p) => p.pid === process.pid), 'the configuration was applied again');
  const end = await supervised.close();
  assert.deepEqual(end, { status: 0, signal: null, errorLine: null });
  assert.deepEqual(ends, [end]);
  await assert.rejects(supervised.sampleNow(), { name: 'SidecarClosedError', message: 'The supervised sidecar was closed' });
});

test('a sidecar that keeps ending is given up after maxAttempts, with growing delays', async (t) => {
  const supervised = await SupervisedSidecar.start(process.execPath, {
    args: [FAKE_SIDECAR, 'greet-and-exit'],
    restart: { initialDelayMs: 5, maxDelayMs: 12, maxAttempts: 4 },
  });
  t.after(() => supervised.close());
  const failed: RestartFailedEvent[] = [];
  supervised.on('restartFailed', (event) => failed.push(event));
  const ended = new Promise<SessionEnd>((resolve) => supervised.once('end', resolve));
  const error: unknown = await supervised.snapshots({ timeoutMs: 20_000 }).next().catch((e: unknown) => e);
  assert.ok(error instanceof SidecarClosedError);
  assert.equal(error.message, 'The sidecar could not be started again after 4 attempts in a row; the last session ended with status 3');
  assert.deepEqual(await ended, { status: 3, signal: null, errorLine: null });
  assert.deepEqual(failed.map((f) => [f.attempt, f.nextDelayMs]), [[1, 10], [2, 12], [3, 12], [4, null]]);
  assert.ok(failed.every((f) => f.error instanceof SidecarClosedError));
});
