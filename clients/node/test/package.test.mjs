// The package as a parent gets it: `npm pack`, installed from the tarball
// into a fresh project, runs the README example (as an ES module) and
// loads through require() too.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { BINARY, PACKAGE_DIR, REPO_DIR } from './support.mjs';

/** The first js code block of the README's "Integrating from Node" section. */
function readmeExample() {
  const readme = fs.readFileSync(path.join(REPO_DIR, 'README.md'), 'utf8');
  const section = readme.split('### Integrating from Node')[1];
  assert.ok(section, 'README has an "Integrating from Node" section');
  const match = /```js\n([\s\S]*?)```/.exec(section);
  assert.ok(match, 'the section has a js example');
  return match[1];
}

test('the packed tarball installs offline and runs the README example', (t) => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sidecar-client-'));
  t.after(() => fs.rmSync(scratch, { recursive: true, force: true }));
  const npmEnv = { ...process.env, npm_config_cache: path.join(scratch, 'npm-cache'), npm_config_update_notifier: 'false' };
  const packDir = path.join(scratch, 'pack');
  const project = path.join(scratch, 'project');
  fs.mkdirSync(packDir);
  fs.mkdirSync(project);

  const packed = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', packDir], {
    cwd: PACKAGE_DIR, env: npmEnv, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'],
  }));
  const files = packed[0].files.map((f) => f.path);
  for (const wanted of ['dist/esm/index.js', 'dist/esm/index.d.ts', 'dist/cjs/index.js', 'dist/cjs/index.d.ts', 'dist/esm/package.json', 'dist/cjs/package.json']) {
    assert.ok(files.includes(wanted), `${wanted} in the tarball`);
  }
  assert.ok(!files.some((f) => f.startsWith('src/') || f.startsWith('test/')), 'only the build goes in');

  fs.writeFileSync(path.join(project, 'package.json'), '{"name":"scratch","private":true}\n');
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(packDir, packed[0].filename)], {
    cwd: project, env: npmEnv, stdio: ['ignore', 'pipe', 'pipe'],
  });

  fs.writeFileSync(path.join(project, 'example.mjs'), readmeExample());
  const run = spawnSync(process.execPath, ['example.mjs'], {
    cwd: project, env: { ...process.env, SIDECAR_BINARY: BINARY }, encoding: 'utf8', timeout: 60_000,
  });
  assert.equal(run.status, 0, `example failed:\n${run.stdout}\n${run.stderr}`);
  assert.match(run.stdout, /^not-configured for sampleNow$/m);
  assert.match(run.stdout, /^history: \d+ snapshots, then 1 new$/m);
  assert.match(run.stdout, /^root gone$/m);
  assert.match(run.stdout, /^sidecar ended with status 0$/m);

  const required = execFileSync(process.execPath, ['-e',
    "const c = require('sidecar-client'); console.log(typeof c.Sidecar.start, new c.SidecarError('not-configured', 'm', true, {}) instanceof c.SidecarClientError)"],
  { cwd: project, encoding: 'utf8' });
  assert.equal(required.trim(), 'function true');
});
