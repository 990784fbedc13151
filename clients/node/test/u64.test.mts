// u64 values: plain numbers by default, where a value above 2^53 - 1 fails
// its call with an error naming the field; exact bigints on request.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Sidecar, SidecarIntegerError, parseWireJson, type U64 } from 'sidecar-client';
import { FAKE_SIDECAR, present } from './support.mjs';

test('with exactIntegers, a snapshot at the u64 edge keeps every digit', async (t) => {
  const sidecar: Sidecar<U64> = await Sidecar.start(process.execPath, { args: [FAKE_SIDECAR], exactIntegers: true });
  t.after(() => sidecar.close());
  await sidecar.configure({ rootPid: 1, sampleIntervalMs: 18446744073709551615n });
  const snapshot = await sidecar.sampleNow();
  assert.equal(snapshot.sequence, 18446744073709551615n);
  assert.equal(snapshot.sampledAtUnixMs, 9007199254740993n);
  assert.equal(snapshot.collectionDurationMicros, 9007199254740991); // the largest safe one stays a number
  assert.equal(snapshot.scannedProcessCount, 1);
  const p = present(snapshot.processes[0], 'process');
  assert.equal(p.pid, 4294967295);
  assert.equal(p.startTimeMs, 12345678901234567n);
  assert.equal(p.residentBytes, 9007199254740992n);
  assert.equal(p.cpuPercent, 2.5e13);
  assert.equal(p.name, 'x\u00001234567890123456'); // digits in a string stay text
  assert.deepEqual(snapshot.externalProcesses, [{ pid: 7, startTimeMs: 7 }]);
  // A bigint sent is written exactly.
  assert.equal(JSON.parse(p.command.replace(/:(\d{16,})/g, ':"$1"')).sampleIntervalMs, '18446744073709551615');
  const history = await sidecar.readHistory({ windowMs: 1000 });
  assert.equal(history[0]?.sequence, 18446744073709551615n);
  assert.equal(history.cursor.sequence, 18446744073709551615n);
});

test('without exactIntegers, a value above 2^53 - 1 fails its call, naming the field', async (t) => {
  const sidecar: Sidecar = await Sidecar.start(process.execPath, { args: [FAKE_SIDECAR] });
  t.after(() => sidecar.close());
  await sidecar.configure({ rootPid: 1, sampleIntervalMs: 1000 });
  const expected = (type: string, path: string, value: bigint) => (error: unknown) => {
    assert.ok(error instanceof SidecarIntegerError);
    assert.equal(error.field, path);
    assert.equal(error.value, value);
    assert.equal(
      error.message,
      `The sidecar sent ${value} for ${path} of a ${type} message, above Number.MAX_SAFE_INTEGER (2^53 - 1), ` +
        'which a number cannot hold exactly; start the client with { exactIntegers: true } to receive such values as bigint',
    );
    return true;
  };
  await assert.rejects(sidecar.sampleNow(), expected('snapshot', 'sequence', 18446744073709551615n));
  await assert.rejects(sidecar.readHistory({ windowMs: 1000 }), expected('historyChunk', 'snapshots[0].sequence', 18446744073709551615n));
  // The session goes on: the stand-in's small sample is a plain number throughout.
  const small = await sidecar.send({ type: 'sampleNow', requestId: 'small' }) as { sequence: unknown };
  assert.equal(small.sequence, 5);
});

test('parseWireJson', () => {
  const cases: Array<[string, unknown]> = [
    ['{"a":9007199254740991}', { a: 9007199254740991 }],
    ['{"a":9007199254740992}', { a: 9007199254740992n }],
    ['[18446744073709551615,0,1.5,-2,1e300,null,true,false]', [18446744073709551615n, 0, 1.5, -2, 1e300, null, true, false]],
    ['{"s":"\\"12345678901234567\\"","n":{"m":[12345678901234567]}}', { s: '"12345678901234567"', n: { m: [12345678901234567n] } }],
    [' { "k" : 12345678901234567.5 } ', { k: 12345678901234567.5 }],
    ['{"u":"\\u00e9\\ud83d\\ude00","big":100000000000000000000}', { u: 'é😀', big: 100000000000000000000n }],
  ];
  for (const [text, expected] of cases) {
    assert.deepEqual(parseWireJson(text), expected, text);
  }
  for (const bad of ['{"a":12345678901234567', '{"a":12345678901234567}x', '[12345678901234567,]', '{"a" 12345678901234567}']) {
    assert.throws(() => parseWireJson(bad), SyntaxError, bad);
  }
});
