// readHistory: answers of several chunks, and cursors.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SidecarCursorError } from 'sidecar-client';
import { present, startSidecar } from './support.mjs';

test('a history of more than 32 samples is joined from its chunks; cursors read on from there', async (t) => {
  const sidecar = await startSidecar(t);
  const chunkLines: string[] = [];
  sidecar.process.stdout?.on('data', (data) => {
    chunkLines.push(...(String(data).match(/"type":"historyChunk"/g) ?? []));
  });
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  const taken = await Promise.all(Array.from({ length: 33 }, () => sidecar.sampleNow()));
  const sequences = taken.map((s) => s.sequence);

  const history = await sidecar.readHistory({ windowMs: 3_600_000 });
  assert.deepEqual(history.map((s) => s.sequence), sequences);
  assert.ok(history.every((s) => s.requestId === undefined && s.type === 'snapshot'));
  assert.equal(chunkLines.length, 2, 'two historyChunk lines');
  assert.equal(history.cursor.sequence, 33);
  assert.equal(history.cursor.session, sidecar.session);

  // The cursor drops what an earlier read returned, and nothing else.
  const none = await sidecar.readHistory({ windowMs: 3_600_000, after: history.cursor });
  assert.deepEqual(none, []);
  assert.equal(none.cursor, history.cursor, 'an empty read leaves the cursor where it was');
  const next = await sidecar.sampleNow();
  const fresh = await sidecar.readHistory({ windowMs: 3_600_000, after: none.cursor });
  assert.deepEqual(fresh.map((s) => s.sequence), [next.sequence]);
  const middle = await sidecar.readHistory({ windowMs: 3_600_000, after: sidecar.cursorAfter(present(taken[29], 'sample 30')) });
  assert.deepEqual(middle.map((s) => s.sequence), [...sequences.slice(30), next.sequence]);
  // Streamed, answered and read snapshots all have a place; a copy has none.
  assert.equal(sidecar.cursorAfter(present(history[3], 'sample 4')).sequence, 4);
  assert.throws(() => sidecar.cursorAfter(structuredClone(next)), {
    name: 'TypeError',
    message: 'cursorAfter() takes a snapshot this session gave (a copy, or a snapshot of an earlier session, has no place in its history)',
  });
});

test('a cursor of another session is refused, and so is a bare sequence', async (t) => {
  const first = await startSidecar(t);
  const second = await startSidecar(t);
  for (const sidecar of [first, second]) await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  await first.sampleNow();
  await second.sampleNow();
  const cursor = (await first.readHistory({ windowMs: 60_000 })).cursor;
  await assert.rejects(second.readHistory({ windowMs: 60_000, after: cursor }), (error: unknown) => {
    assert.ok(error instanceof SidecarCursorError);
    assert.equal(error.cursorSession, first.session.id);
    assert.equal(error.session, second.session.id);
    assert.equal(
      error.message,
      `The history cursor belongs to an earlier session (sidecar pid ${first.session.sidecarPid}), not to the current one ` +
        `(sidecar pid ${second.session.sidecarPid}), whose sequences start again at 1; read the current session's history without a cursor to start over`,
    );
    return true;
  });
  await assert.rejects(second.readHistory({ windowMs: 60_000, sinceSequence: 1 } as never), {
    name: 'TypeError',
    message: 'sinceSequence is replaced by after: pass the cursor of an earlier read (history.cursor) or cursorAfter(snapshot), which cannot be mixed up between sessions',
  });
  await assert.rejects(second.readHistory({ windowMs: 60_000, after: { session: second.session, sequence: 1 } as never }), {
    name: 'TypeError',
    message: 'after must be a HistoryCursor (history.cursor or cursorAfter(snapshot)), not an object (session, sequence)',
  });
});

test('an empty window is one empty answer', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  const read = await sidecar.readHistory({ windowMs: 0 });
  assert.deepEqual(read, []);
  assert.equal(read.cursor.sequence, 0);
});
