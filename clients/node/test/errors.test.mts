// Refusals in one pipelined burst: each tied to the command it answers.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SidecarError } from 'sidecar-client';
import { startSidecar } from './support.mjs';

test('every error kind reaches the call of its own command', async (t) => {
  const sidecar = await startSidecar(t);
  // Nothing is awaited until every command is written: the sidecar sees one burst.
  const calls: Array<[string, Promise<unknown>, string | null, (string | RegExp)?]> = [
    ['sampleNow', sidecar.sampleNow(), 'not-configured', 'configure must be sent before sampling'],
    ['readHistory', sidecar.readHistory({ windowMs: 1000 }), 'not-configured', 'configure must be sent before reading history'],
    ['setSampleInterval', sidecar.setSampleInterval(1000), 'not-configured', 'configure must be sent before changing the sample interval'],
    ['setExternalProcesses', sidecar.setExternalProcesses([]), 'not-configured', 'configure must be sent before external processes'],
    ['processTable', sidecar.processTable(), null],
    ['shutdown', sidecar.send({ version: 2, type: 'shutdown' }), 'protocol-mismatch', 'unsupported protocol version 2; expected 3'],
    ['configure', sidecar.send({ type: 'configure', rootPid: 1, sampleIntervalMs: 1.5 }), 'invalid-command', 'invalid command: invalid type: floating point `1.5`, expected u64'],
    ['launch', sidecar.send({ type: 'launch' }), 'invalid-command', /^invalid command: unknown variant `launch`/],
    ['configure', sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 0 }), null],
    ['setStreaming', sidecar.send({ type: 'setStreaming', enabled: 1 }), 'invalid-command', 'invalid command: invalid type: integer `1`, expected a boolean'],
    ['setStreaming', sidecar.send({ type: 'setStreaming', enabled: false }), null],
    ['sampleNow', sidecar.sampleNow(), null],
    ['configure', sidecar.send({ type: 'configure', rootPid: -1, sampleIntervalMs: 0 }), 'invalid-command', 'invalid command: invalid value: integer `-1`, expected u32'],
    ['readHistory', sidecar.readHistory({ windowMs: 0 }), null],
  ];
  const outcomes = await Promise.allSettled(calls.map(([, promise]) => promise));
  outcomes.forEach((outcome, index) => {
    const [type, , code, message] = calls[index]!;
    const where = `call ${index + 1} (${type})`;
    if (code === null) {
      assert.equal(outcome.status, 'fulfilled', `${where}: ${outcome.status === 'rejected' ? String(outcome.reason) : ''}`);
      return;
    }
    assert.ok(outcome.status === 'rejected', where);
    const error: unknown = outcome.reason;
    assert.ok(error instanceof SidecarError, where);
    assert.equal(error.code, code, where);
    if (message instanceof RegExp) assert.match(error.message, message, where);
    else assert.equal(error.message, message, where);
    assert.equal(error.recoverable, code !== 'protocol-mismatch', where);
    assert.equal(error.command.type, type, where);
    assert.equal(error.command.ordinal, index + 1, where);
  });
  // The accepted silent commands took effect: the sample after them answered.
  const sample = outcomes[11];
  assert.ok(sample?.status === 'fulfilled');
  // Sorted by pid, the root is not first where a child's pid has wrapped below it.
  assert.ok((sample.value as { processes: Array<{ pid: number }> }).processes.some((p) => p.pid === process.pid));
});

test('values are checked before anything is written', async (t) => {
  const sidecar = await startSidecar(t);
  // Each call with the message it rejects with.
  const cases: Array<[() => Promise<unknown>, string]> = [
    [() => sidecar.configure({ rootPid: -1, sampleIntervalMs: 0 }), 'rootPid must be an integer from 0 to 4294967295, not -1'],
    [() => sidecar.configure({ rootPid: 2 ** 32, sampleIntervalMs: 0 }), 'rootPid must be an integer from 0 to 4294967295, not 4294967296'],
    [() => sidecar.configure({ rootPid: 1, sampleIntervalMs: 1.5 }), 'sampleIntervalMs must be a safe integer from 0 or a bigint up to 2^64 - 1, not 1.5'],
    [() => sidecar.configure({ rootPid: 1, sampleIntervalMs: 2 ** 53 }), 'sampleIntervalMs must be a safe integer from 0 or a bigint up to 2^64 - 1, not 9007199254740992'],
    [() => sidecar.configure({ rootPid: 1, sampleIntervalMs: 1n << 64n }), 'sampleIntervalMs must be a safe integer from 0 or a bigint up to 2^64 - 1, not 18446744073709551616'],
    [() => sidecar.setStreaming(1 as never), 'enabled must be a boolean, not 1'],
    [() => sidecar.readHistory({ windowMs: -1 }), 'windowMs must be a safe integer from 0 or a bigint up to 2^64 - 1, not -1'],
    [() => sidecar.setExternalProcesses([{ pid: 1, startTimeMs: '5' as never }]), 'processes[0].startTimeMs must be a safe integer from 0 or a bigint up to 2^64 - 1, not 5'],
  ];
  for (const [call, message] of cases) {
    await assert.rejects(call, (error: Error) => (error instanceof RangeError || error instanceof TypeError) && error.message === message);
  }
  // Nothing reached the sidecar: the next command is the first it sees.
  await assert.rejects(sidecar.sampleNow(), (error: SidecarError) => error.command.ordinal === 1);
});
