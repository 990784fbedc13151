// Integers above 2^53 - 1 arrive as bigint, exact; the others as numbers.
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { Sidecar, parseWireJson } from '../dist/esm/index.js';
import { PACKAGE_DIR } from './support.mjs';

test('a snapshot at the u64 edge keeps every digit', async (t) => {
  const fake = path.join(PACKAGE_DIR, 'test', 'fixtures', 'fake-sidecar.mjs');
  const sidecar = await Sidecar.start(process.execPath, { args: [fake] });
  t.after(() => sidecar.close());
  await sidecar.configure({ rootPid: 1, sampleIntervalMs: 18446744073709551615n });
  const snapshot = await sidecar.sampleNow();
  assert.equal(snapshot.sequence, 18446744073709551615n);
  assert.equal(snapshot.sampledAtUnixMs, 9007199254740993n);
  assert.equal(snapshot.collectionDurationMicros, 9007199254740991); // the largest safe one stays a number
  assert.equal(snapshot.scannedProcessCount, 1);
  const [p] = snapshot.processes;
  assert.equal(p.pid, 4294967295);
  assert.equal(p.startTimeMs, 12345678901234567n);
  assert.equal(p.residentBytes, 9007199254740992n);
  assert.equal(p.cpuPercent, 2.5e13);
  assert.equal(p.name, 'x\u00001234567890123456'); // digits in a string stay text
  assert.deepEqual(snapshot.externalProcesses, [{ pid: 7, startTimeMs: null }]);
  // A bigint sent is written exactly.
  assert.equal(JSON.parse(p.command.replace(/:(\d{16,})/g, ':"$1"')).sampleIntervalMs, '18446744073709551615');
});

test('parseWireJson', () => {
  const cases = [
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
