// Marks each build folder with its module type, so that Node loads
// dist/esm as ES modules and dist/cjs as CommonJS from one package.
const fs = require('node:fs');
const path = require('node:path');

for (const [dir, type] of [['esm', 'module'], ['cjs', 'commonjs']]) {
  fs.writeFileSync(path.join(__dirname, '..', 'dist', dir, 'package.json'), `${JSON.stringify({ type })}\n`);
}
