// One implementation serves import and require: the build is CommonJS
// (dist/cjs), and dist/esm/index.js is a thin ES module that re-exports its
// names, so that a class is the same object whichever way it was loaded
// (instanceof holds across both).
const fs = require('node:fs');
const path = require('node:path');

const dist = path.join(__dirname, '..', 'dist');
const esm = path.join(dist, 'esm');
fs.rmSync(esm, { recursive: true, force: true });
fs.mkdirSync(esm, { recursive: true });
fs.writeFileSync(path.join(dist, 'cjs', 'package.json'), '{"type":"commonjs"}\n');
fs.writeFileSync(path.join(esm, 'package.json'), '{"type":"module"}\n');

const names = Object.keys(require(path.join(dist, 'cjs', 'index.js'))).filter((n) => n !== '__esModule').sort();
fs.writeFileSync(
  path.join(esm, 'index.js'),
  "import client from '../cjs/index.js';\n\n" +
    `export const {\n${names.map((n) => `  ${n},`).join('\n')}\n} = client;\n`,
);
fs.writeFileSync(path.join(esm, 'index.d.ts'), "export * from '../cjs/index.js';\n");
