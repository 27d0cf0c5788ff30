// Bundles src/halvorn.js with its AES dependency into dist/: halvorn.js (a classic script
// that sets the global `Halvorn`) and halvorn.mjs (an ES module).
import { build } from 'esbuild';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const here = path.dirname(fileURLToPath(import.meta.url));
const common = {
  entryPoints: [path.join(here, 'src/halvorn.js')],
  bundle: true,
  target: ['es2020'],
  legalComments: 'eof',
  logLevel: 'warning',
};

await Promise.all([
  build({ ...common, format: 'iife', globalName: 'Halvorn', platform: 'browser', outfile: path.join(here, 'dist/halvorn.js') }),
  build({ ...common, format: 'esm', platform: 'neutral', mainFields: ['module', 'main'], outfile: path.join(here, 'dist/halvorn.mjs') }),
]);
