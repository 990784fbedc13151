// How a session ends: shutdown, end of input, closed output; deadlines.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SidecarClosedError, SidecarTimeoutError } from '../dist/esm/index.js';
import { startSidecar, waitUntil } from './support.mjs';

test('shutdown: status 0, silent commands before it accepted, snapshots() ends', async (t) => {
  const sidecar = await startSidecar(t);
  const ends = [];
  sidecar.on('end', (end) => ends.push(end));
  await sidecar.setStreaming(true);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 250 });
  const accepted = sidecar.send({ type: 'setStreaming', enabled: true });
  await sidecar.shutdown();
  assert.equal(await accepted, undefined);
  const streamed = [];
  for await (const snapshot of sidecar.snapshots({ timeoutMs: 5000 })) streamed.push(snapshot);
  assert.deepEqual(await sidecar.ended, { status: 0, signal: null, errorLine: null });
  assert.deepEqual(ends, [sidecar.end]);
});

test('end of input: what was sent is answered, then status 0', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  const sample = sidecar.sampleNow();
  const table = sidecar.processTable();
  sidecar.endInput();
  assert.equal((await sample).type, 'snapshot');
  assert.ok((await table).length > 0);
  await assert.rejects(sidecar.sampleNow(), SidecarClosedError);
  assert.deepEqual(await sidecar.ended, { status: 0, signal: null, errorLine: null });
});

test('a closed output: status 1 with the Error: line, waiting calls rejected', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  sidecar.process.stdout.destroy();
  const error = await sidecar.sampleNow().then(
    () => assert.fail('answered through a closed pipe'),
    (e) => e,
  );
  assert.ok(error instanceof SidecarClosedError);
  const expected = { status: 1, signal: null, errorLine: 'Error: broken pipe: Broken pipe (os error 32)' };
  assert.deepEqual(error.end, expected);
  assert.deepEqual(await sidecar.ended, expected);
  assert.match(error.message, /status 1.*Error: broken pipe/);
});

test('a deadline that expires rejects that call only', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  // configure took a reading: the sample waits for 200 ms of spacing.
  await assert.rejects(sidecar.sampleNow({ timeoutMs: 1 }), SidecarTimeoutError);
  const controller = new AbortController();
  const aborted = sidecar.sampleNow({ signal: controller.signal, timeoutMs: Infinity });
  controller.abort();
  await assert.rejects(aborted, SidecarTimeoutError);
  await assert.rejects(sidecar.processTable({ signal: AbortSignal.abort() }), SidecarTimeoutError);
  await assert.rejects(sidecar.snapshots({ timeoutMs: 50 }).next(), SidecarTimeoutError);
  // The late answers are dropped; later calls get their own.
  const next = await sidecar.sampleNow();
  assert.equal(next.sequence, 3);
});

test('start: a missing executable and a deadline on the greeting', async () => {
  const { Sidecar } = await import('../dist/esm/index.js');
  await assert.rejects(Sidecar.start('/nonexistent/sidecar'), { code: 'ENOENT' });
  await assert.rejects(Sidecar.start('sleep', { args: ['5'], timeoutMs: 100 }), SidecarTimeoutError);
  const silent = await Sidecar.start('sh', { args: ['-c', 'exit 3'] }).catch((e) => e);
  assert.ok(silent instanceof SidecarClosedError);
  assert.equal(silent.end.status, 3);
});
