// The package as a parent gets it: `npm pack`, installed from the tarball
// into a fresh project, where the README example compiles under the strict
// flags and runs, as an ES module and through require().
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import * as imported from 'sidecar-client';
import { BINARY, PACKAGE_DIR } from './support.mjs';

const STRICT_FLAGS = ['--strict', '--exactOptionalPropertyTypes', '--noUncheckedIndexedAccess'];

/** The first js code block of the package README's "Example" section. */
function readmeExample(): string {
  const readme = fs.readFileSync(path.join(PACKAGE_DIR, 'README.md'), 'utf8');
  const section = readme.split('\n## Example\n')[1];
  assert.ok(section, 'the README has an "Example" section');
  const match = /```js\n([\s\S]*?)```/.exec(section);
  assert.ok(match?.[1], 'the section has a js example');
  return match[1];
}

/** The ES module example as CommonJS: imports become require(), the body an async function. */
function asCommonJs(example: string): string {
  const body = example.replace(/^import (\{[^}]*\}|\w+) from '([^']+)';$/gm, (_, names: string, from: string) =>
    `const ${names.replace(/\bas\b/g, ':')} = require('${from}');`);
  assert.ok(!/^import /m.test(body), 'every import was rewritten');
  return `(async () => {\n${body}\n})().catch((error) => { console.error(error); process.exitCode = 1; });\n`;
}

function checkOutput(run: ReturnType<typeof spawnSync>, how: string): void {
  assert.equal(run.status, 0, `example (${how}) failed:\n${String(run.stdout)}\n${String(run.stderr)}`);
  const out = String(run.stdout);
  assert.match(out, /^not-configured for sampleNow$/m, how);
  assert.match(out, /^history: \d+ snapshots, then 1 new$/m, how);
  assert.match(out, /^root gone$/m, how);
  assert.match(out, /^sidecar ended with status 0$/m, how);
}

test('import and require give the same classes', () => {
  const required = createRequire(import.meta.url)('sidecar-client') as typeof imported;
  assert.equal(required.SidecarError, imported.SidecarError);
  assert.equal(required.Sidecar, imported.Sidecar);
  const error = new required.SidecarError('not-configured', 'm', true, { type: 'sampleNow', fields: {}, ordinal: 1 });
  assert.ok(error instanceof imported.SidecarError);
  assert.ok(error instanceof imported.SidecarClientError);
  assert.deepEqual(Object.keys(required).filter((k) => k !== '__esModule').sort(), Object.keys(imported).sort());
});

test('the packed tarball installs offline; the README example compiles strictly and runs with import and require', (t) => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sidecar-client-'));
  t.after(() => fs.rmSync(scratch, { recursive: true, force: true }));
  const npmEnv = { ...process.env, npm_config_cache: path.join(scratch, 'npm-cache'), npm_config_update_notifier: 'false' };
  const packDir = path.join(scratch, 'pack');
  const project = path.join(scratch, 'project');
  fs.mkdirSync(packDir);
  fs.mkdirSync(project);

  const packed = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', packDir], {
    cwd: PACKAGE_DIR, env: npmEnv, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'],
  })) as Array<{ filename: string; files: Array<{ path: string }> }>;
  const tarball = packed[0]!;
  const files = tarball.files.map((f) => f.path);
  for (const wanted of ['README.md', 'package.json', 'dist/esm/index.js', 'dist/esm/index.d.ts', 'dist/cjs/index.js', 'dist/cjs/index.d.ts', 'dist/esm/package.json', 'dist/cjs/package.json']) {
    assert.ok(files.includes(wanted), `${wanted} in the tarball`);
  }
  assert.ok(!files.some((f) => f.startsWith('src/') || f.startsWith('test/') || f.startsWith('.test-build/')), 'only the build goes in');

  fs.writeFileSync(path.join(project, 'package.json'), '{"name":"scratch","private":true}\n');
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(packDir, tarball.filename)], {
    cwd: project, env: npmEnv, stdio: ['ignore', 'pipe', 'pipe'],
  });
  assert.ok(fs.existsSync(path.join(project, 'node_modules', 'sidecar-client', 'README.md')), 'the README is installed');

  const example = readmeExample();
  fs.writeFileSync(path.join(project, 'example.mts'), example);
  const tsc = spawnSync(process.execPath, [
    path.join(PACKAGE_DIR, 'node_modules', 'typescript', 'bin', 'tsc'), ...STRICT_FLAGS, '--noEmit',
    '--target', 'ES2022', '--module', 'NodeNext', '--moduleResolution', 'NodeNext',
    '--types', 'node', '--typeRoots', path.join(PACKAGE_DIR, 'node_modules', '@types'), 'example.mts',
  ], { cwd: project, encoding: 'utf8' });
  assert.equal(tsc.status, 0, `the README example does not compile:\n${tsc.stdout}${tsc.stderr}`);

  const env = { ...process.env, SIDECAR_BINARY: BINARY };
  fs.writeFileSync(path.join(project, 'example.mjs'), example);
  checkOutput(spawnSync(process.execPath, ['example.mjs'], { cwd: project, env, encoding: 'utf8', timeout: 60_000 }), 'import');
  fs.writeFileSync(path.join(project, 'example.cjs'), asCommonJs(example));
  checkOutput(spawnSync(process.execPath, ['example.cjs'], { cwd: project, env, encoding: 'utf8', timeout: 60_000 }), 'require');
});
