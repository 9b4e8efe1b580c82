// Builds the web bundle: node app/www/build.mjs <out dir>
// One esbuild bundle of @capacitor/core and the page (app.js), the page itself, and the
// runtime's native-bridge.js copied unchanged from @capacitor/ios.
import { build } from 'esbuild';
import { copyFileSync, mkdirSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const root = join(here, '..', '..');
const out = process.argv[2];
if (!out) {
  console.error('usage: node app/www/build.mjs <out dir>');
  process.exit(2);
}
mkdirSync(out, { recursive: true });
await build({
  entryPoints: [join(here, 'src', 'main.js')],
  bundle: true,
  format: 'iife',
  target: 'es2020',
  outfile: join(out, 'app.js'),
  nodePaths: [join(root, 'node_modules')],
  logLevel: 'warning',
});
copyFileSync(join(here, 'index.html'), join(out, 'index.html'));
copyFileSync(
  join(root, 'node_modules', '@capacitor', 'ios', 'Capacitor', 'Capacitor', 'assets', 'native-bridge.js'),
  join(out, 'native-bridge.js'),
);
