// Puts the page together as one HTML file: the module (with its wasm inlined) and the worker
// script as the worker's source, the zip library and the page script, all inline, so the page
// works from a plain folder or file:// with nothing fetched.
// Usage: node assemble.mjs rivodiv_web.js out/index.html
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const [moduleScript, output] = process.argv.slice(2);
const read = (path) => readFileSync(path, 'utf8');

// The browser build of the zip library, which defines the global fflate.
const fflatePath = join(here, 'node_modules', 'fflate', 'umd', 'index.js');
if (!existsSync(fflatePath)) {
  console.error(`assemble.mjs: fflate is missing; run "npm ci" in ${here} (./rivodiv.sh web does)`);
  process.exit(1);
}

const parts = {
  worker: read(moduleScript) + '\n' + read(join(here, 'worker.js')),
  fflate: read(fflatePath),
  page: read(join(here, 'page.js')),
};
let html = read(join(here, 'index.html'));
for (const [name, text] of Object.entries(parts)) {
  // An inline script ends at the first "</script"; none of the parts may hold one.
  if (/<\/script/i.test(text)) throw new Error(`${name} contains "</script" and cannot be inlined`);
  html = html.replace(`/*@${name}*/`, () => text);
}
mkdirSync(dirname(output), { recursive: true });
writeFileSync(output, html);
const wasm = /data:application\/octet-stream;base64,([A-Za-z0-9+/=]+)/.exec(parts.worker);
const wasmBytes = wasm ? Buffer.from(wasm[1], 'base64').length : 0;
console.log(`page ${output}: ${Buffer.byteLength(html)} bytes, of which the wasm is ${wasmBytes} bytes (inlined as base64)`);
