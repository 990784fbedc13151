// How a session ends: shutdown, end of input, closed output; deadlines.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { AbortError, Sidecar, SidecarClosedError, SidecarStartError, SidecarTimeoutError, type SessionEnd } from 'sidecar-client';
import { startSidecar } from './support.mjs';

test('shutdown: status 0, silent commands before it accepted, snapshots() ends', async (t) => {
  const sidecar = await startSidecar(t);
  const ends: SessionEnd[] = [];
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
  await assert.rejects(sidecar.sampleNow(), { name: 'SidecarClosedError', message: "No command can be sent after the sidecar's input was closed" });
  assert.deepEqual(await sidecar.ended, { status: 0, signal: null, errorLine: null });
});

test('a closed output: status 1 with the Error: line, waiting calls rejected', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  sidecar.process.stdout?.destroy();
  const error: unknown = await sidecar.sampleNow().then(
    () => assert.fail('answered through a closed pipe'),
    (e: unknown) => e,
  );
  assert.ok(error instanceof SidecarClosedError);
  const expected = { status: 1, signal: null, errorLine: 'Error: broken pipe: Broken pipe (os error 32)' };
  assert.deepEqual(error.end, expected);
  assert.deepEqual(await sidecar.ended, expected);
  assert.equal(error.message, 'The sidecar ended (status 1): Error: broken pipe: Broken pipe (os error 32)');
});

test('a deadline rejects that call only; an abort rejects with AbortError', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  // configure took a reading: the sample waits for 200 ms of spacing.
  await assert.rejects(sidecar.sampleNow({ timeoutMs: 1 }), {
    name: 'SidecarTimeoutError', message: 'The answer to sampleNow did not come within 1 ms',
  });
  const controller = new AbortController();
  const aborted = sidecar.sampleNow({ signal: controller.signal, timeoutMs: Infinity });
  const reason = new Error('the window was closed');
  controller.abort(reason);
  await assert.rejects(aborted, (error: unknown) => {
    assert.ok(error instanceof AbortError);
    assert.equal(error.name, 'AbortError');
    assert.equal(error.code, 'ABORT_ERR');
    assert.equal(error.cause, reason);
    assert.equal(error.message, 'The wait for the answer to sampleNow was aborted');
    return true;
  });
  await assert.rejects(sidecar.processTable({ signal: AbortSignal.abort() }), {
    name: 'AbortError', message: 'The wait for the outcome of processTable was aborted',
  });
  await assert.rejects(sidecar.snapshots({ timeoutMs: 50 }).next(), SidecarTimeoutError);
  // The late answers are dropped; later calls get their own.
  const next = await sidecar.sampleNow();
  assert.equal(next.sequence, 3);
});

test('start failures are SidecarStartError with the path and a hint', async (t) => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sidecar-start-'));
  t.after(() => fs.rmSync(scratch, { recursive: true, force: true }));
  const notExecutable = path.join(scratch, 'sidecar');
  fs.writeFileSync(notExecutable, '', { mode: 0o644 });
  const cases: Array<[string, Parameters<typeof Sidecar.start>[1], string | null, RegExp]> = [
    ['/nonexistent/sidecar', {}, 'ENOENT', /^Could not start the sidecar: there is no file "\/nonexistent\/sidecar"\. Pass the full path of the sidecar executable to Sidecar\.start\(\) \(in a packaged Electron app: a path in the app bundle, outside app\.asar\)$/],
    ['no-such-sidecar-here', {}, 'ENOENT', /^Could not start the sidecar: there is no executable "no-such-sidecar-here" on PATH\. Pass the full path/],
    [notExecutable, {}, 'EACCES', /^Could not start the sidecar at "[^"]+": permission denied\. Give the file its execute bit \(chmod \+x\) and keep it outside any asar archive$/],
    ['sleep', { args: ['5'], timeoutMs: 100 }, null, /^The program at "sleep" started but did not greet within 100 ms\. Check that the path names the sidecar, or give Sidecar\.start\(\) a longer timeoutMs$/],
    ['sh', { args: ['-c', 'echo "Error: no luck" >&2; exit 3'] }, null, /^The program at "sh" ended before greeting \(status 3\): Error: no luck\. Check that the path names the sidecar and run it by hand to see why$/],
    ['echo', { args: ['{"type":"snapshot"}'] }, null, /^The program at "echo" did not greet as the sidecar does: The sidecar's first line is a "snapshot" message, not the greeting\. Check that the path names the sidecar$/],
  ];
  for (const [where, options, code, message] of cases) {
    await t.test(where, async () => {
      const error: unknown = await Sidecar.start(where, options).then(() => assert.fail('started'), (e: unknown) => e);
      assert.ok(error instanceof SidecarStartError);
      assert.equal(error.path, where);
      assert.equal(error.code, code);
      assert.ok(error.cause instanceof Error);
      assert.match(error.message, message);
    });
  }
  const silent: unknown = await Sidecar.start('sh', { args: ['-c', 'exit 3'] }).catch((e: unknown) => e);
  assert.ok(silent instanceof SidecarStartError);
  assert.deepEqual(silent.end, { status: 3, signal: null, errorLine: null });
  assert.ok(silent.cause instanceof SidecarClosedError);
  await assert.rejects(Sidecar.start('sleep', { args: ['5'], signal: AbortSignal.abort() }), {
    name: 'AbortError', message: 'The wait for the greeting was aborted',
  });
});
