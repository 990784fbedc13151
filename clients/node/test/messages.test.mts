// The messages of the client's own errors, each read as a parent sees it:
// a stand-in sidecar (a shell script) writes what the protocol does not
// allow, and the call gets a SidecarProtocolError that says what happened.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Sidecar, SidecarProtocolError } from 'sidecar-client';
import { startSidecar } from './support.mjs';

const GREETING = JSON.stringify({
  version: 3, type: 'hello', sidecarVersion: '0.1.0', sidecarPid: 1, platform: 'linux', arch: 'x86_64',
  capabilities: {
    cumulativeCpuTime: true, currentCpuPercent: true, residentMemory: true, virtualMemory: true,
    ioBytes: true, processStartTime: true, processTree: true,
  },
});

/** A sidecar that greets, reads one command, writes `reply` and waits. */
function standIn(reply: string): [string, { args: string[] }] {
  return ['sh', { args: ['-c', `printf '%s\\n' '${GREETING}'; read x; printf '%s\\n' '${reply}'; sleep 10`] }];
}

test('each protocol fault reads as English and names what came', async (t) => {
  const cases: Array<[string, string | RegExp]> = [
    ['not json', /^The sidecar wrote a line that is not JSON \(SyntaxError: .+\)$/],
    ['{"version":3,"type":"launch"}', 'The sidecar wrote a "launch" message, which is not a message of the protocol'],
    ['{"version":3}', 'The sidecar wrote a message without a type, which is not a message of the protocol'],
    ['{"version":3,"type":"processTable","requestId":"r9","processes":[]}',
      'The sidecar answered processTable "r9" out of turn: the oldest waiting command is sampleNow "r1"'],
    ['{"version":3,"type":"error","code":"invalid-command","message":"invalid command: x","recoverable":true}',
      'The sidecar sent an error (invalid-command: invalid command: x) that no waiting command can cause'],
  ];
  for (const [reply, message] of cases) {
    await t.test(reply, async () => {
      const [path, options] = standIn(reply);
      const sidecar = await Sidecar.start(path, options);
      try {
        await sidecar.configure({ rootPid: 1, sampleIntervalMs: 0 }).catch(() => {});
        await assert.rejects(sidecar.sampleNow(), (error: unknown) => {
          assert.ok(error instanceof SidecarProtocolError);
          if (message instanceof RegExp) assert.match(error.message, message);
          else assert.equal(error.message, message);
          return true;
        });
      } finally {
        await sidecar.close(1000);
      }
    });
  }
  await t.test('an answer while nothing waits', async () => {
    const [path, options] = standIn('{"version":3,"type":"processTable","requestId":"r1","processes":[]}');
    const sidecar = await Sidecar.start(path, options);
    await sidecar.setStreaming(false); // silent: no answer is due
    await sidecar.ended; // the client ends a sidecar that broke the protocol
    await assert.rejects(sidecar.sampleNow(), {
      name: 'SidecarProtocolError',
      message: 'The sidecar answered processTable "r1" while no command waited for an answer',
    });
  });
});

test('the messages of a session that has ended or is ending', async (t) => {
  const sidecar = await startSidecar(t);
  await sidecar.shutdown();
  await assert.rejects(sidecar.sampleNow(), { name: 'SidecarClosedError', message: 'No command can be sent after shutdown' });
  assert.equal(sidecar.hello.type, 'hello');
});
