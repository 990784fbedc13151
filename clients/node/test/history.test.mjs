// readHistory: answers of several chunks, and sinceSequence.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { startSidecar } from './support.mjs';

test('a history of more than 32 samples is joined from its chunks', async (t) => {
  const sidecar = await startSidecar(t);
  const chunkLines = [];
  sidecar.process.stdout.on('data', (data) => {
    chunkLines.push(...String(data).match(/"type":"historyChunk"/g) ?? []);
  });
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  const taken = await Promise.all(Array.from({ length: 33 }, () => sidecar.sampleNow()));
  const sequences = taken.map((s) => s.sequence);

  const history = await sidecar.readHistory({ windowMs: 3_600_000 });
  assert.deepEqual(history.map((s) => s.sequence), sequences);
  assert.ok(history.every((s) => s.requestId === undefined && s.type === 'snapshot'));
  assert.equal(chunkLines.length, 2, 'two historyChunk lines');

  // sinceSequence drops what an earlier read returned, and nothing else.
  const last = history.at(-1).sequence;
  assert.deepEqual(await sidecar.readHistory({ windowMs: 3_600_000, sinceSequence: last }), []);
  const next = await sidecar.sampleNow();
  const fresh = await sidecar.readHistory({ windowMs: 3_600_000, sinceSequence: last });
  assert.deepEqual(fresh.map((s) => s.sequence), [next.sequence]);
  const middle = await sidecar.readHistory({ windowMs: 3_600_000, sinceSequence: BigInt(sequences[29]) });
  assert.deepEqual(middle.map((s) => s.sequence), [...sequences.slice(30), next.sequence]);
});

test('an empty window is one empty answer', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  assert.deepEqual(await sidecar.readHistory({ windowMs: 0 }), []);
});
