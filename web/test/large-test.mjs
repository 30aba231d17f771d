// The page with documents past what a tab may hold when every layer is kept, in a browser whose
// WebAssembly memory is capped at 2 GiB: a 12000 x 12000 WLX document must convert to the native
// program's bytes and back with the renderer's peak memory under 2 GiB, and a 30000 x 30000 one, which
// cannot fit the 4 GiB a page's WebAssembly may ever have, must fail with a reason that says how
// large a document can be. The documents are made here, flat, so they are a few megabytes.
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { downloaded, launch, nativeProgram, openPage, results } from './browser.mjs';
import { flatLayers, writeWlx } from './make-wlx.mjs';

let failures = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures += 1;
}
const mib = (bytes) => `${(bytes / 1048576).toFixed(0)} MiB`;

// The peak resident memory of the browser's renderer processes (where the page's workers run).
function rendererPeakBytes(browserPid) {
  const children = new Map();
  for (const name of readdirSync('/proc').filter((n) => /^\d+$/.test(n))) {
    try {
      const stat = readFileSync(`/proc/${name}/stat`, 'utf8');
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(Number(name));
    } catch (_) { /* ended meanwhile */ }
  }
  let peak = 0;
  const visit = (pid) => {
    for (const child of children.get(pid) || []) {
      try {
        if (readFileSync(`/proc/${child}/cmdline`, 'utf8').includes('--type=renderer')) {
          const hwm = /VmHWM:\s+(\d+) kB/.exec(readFileSync(`/proc/${child}/status`, 'utf8'));
          if (hwm) peak = Math.max(peak, Number(hwm[1]) * 1024);
        }
      } catch (_) { /* ended meanwhile */ }
      visit(child);
    }
  };
  visit(browserPid);
  return peak;
}

const cap = 2 * 1024 ** 3;
const work = mkdtempSync(join(tmpdir(), 'rivodiv-web-large-'));
try {
  const native = join(work, 'native');
  const downloads = join(work, 'downloads');
  for (const dir of [native, downloads]) mkdirSync(dir);
  const source = join(work, 'large.wlx');
  await writeWlx(source, 12000, 12000, flatLayers(12000, 12000));
  copyFileSync(source, join(native, 'large.wlx'));
  execFileSync(nativeProgram, [join(native, 'large.wlx')]);
  const expected = readFileSync(join(native, 'large.psd'));

  // The wasm flag caps every WebAssembly memory at 2 GiB (32768 pages of 64 KiB).
  const browser = await launch([`--js-flags=--wasm-max-mem-pages=${cap / 65536}`]);
  try {
    const page = await openPage(browser, { downloadPath: downloads });
    await (await page.$('#picker')).uploadFile(source);
    await results(page, 1, 600000);
    const item = await page.$eval('#files .file', (e) => ({ state: e.dataset.state, status: e.querySelector('.status').textContent,
                                                           reason: (e.querySelector('.reason') || {}).textContent, ms: e.dataset.milliseconds,
                                                           heap: Number(e.dataset.heapBytes) }));
    // At most 6 bytes a canvas pixel besides the one layer (4 bytes a pixel) passing through.
    check(item.heap <= 10 * 144e6, `the worker's WebAssembly memory: ${mib(item.heap)}, ${(item.heap / 144e6).toFixed(2)} bytes a canvas pixel`);
    check(item.state === 'done', `12000 x 12000 converts in a page capped at 2 GiB of WebAssembly memory: ${JSON.stringify(item)}`);
    if (item.state === 'done') {
      await (await page.$('#files .file a.download')).click();
      const bytes = await downloaded(join(downloads, 'large.psd'), 120000);
      check(Buffer.compare(bytes, expected) === 0, `large.psd byte-identical to the native program's (${bytes.length} bytes)`);
    }
    // And back: each layer's compressed block is held until the write, so blocks kept at their
    // worst-case room would pass the cap.
    await page.click('#clear');
    await (await page.$('#picker')).uploadFile(join(native, 'large.psd'));
    await results(page, 1, 600000);
    const back = await page.$eval('#files .file', (e) => ({ state: e.dataset.state, status: e.querySelector('.status').textContent,
                                                           reason: (e.querySelector('.reason') || {}).textContent, ms: e.dataset.milliseconds,
                                                           heap: Number(e.dataset.heapBytes) }));
    // At most 6 bytes a canvas pixel besides the one layer (4 bytes a pixel) passing through.
    check(back.heap <= 10 * 144e6, `the worker's WebAssembly memory: ${mib(back.heap)}, ${(back.heap / 144e6).toFixed(2)} bytes a canvas pixel`);
    check(back.state === 'done', `and its PSD converts back to WLX: ${JSON.stringify(back)}`);
    if (back.state === 'done') {
      rmSync(join(native, 'large.wlx'));
      execFileSync(nativeProgram, [join(native, 'large.psd')]);
      await (await page.$('#files .file a.download')).click();
      const bytes = await downloaded(join(downloads, 'large.wlx'), 120000);
      check(Buffer.compare(bytes, readFileSync(join(native, 'large.wlx'))) === 0,
            `large.wlx byte-identical to the native program's (${bytes.length} bytes)`);
    }
    const peak = rendererPeakBytes(browser.process().pid);
    check(peak > 0 && peak < cap, `the renderer's peak memory is ${mib(peak)} (under ${mib(cap)})`);
  } finally {
    await browser.close();
  }

  // 30000 x 30000 takes more than a page's WebAssembly may have: the reason says what fits.
  rmSync(source);
  const huge = join(work, 'huge.wlx');
  await writeWlx(huge, 30000, 30000, flatLayers(30000, 30000).slice(0, 1));
  const open = await launch();
  try {
    const page = await openPage(open);
    await (await page.$('#picker')).uploadFile(huge);
    await results(page, 1, 600000);
    const item = await page.$eval('#files .file', (e) => ({ state: e.dataset.state, status: e.querySelector('.status').textContent,
                                                           reason: (e.querySelector('.reason') || {}).textContent }));
    check(item.state === 'done' || /up to about \d+ x \d+ pixels/.test(item.reason || ''),
          `30000 x 30000 converts or says how large a document can be: ${JSON.stringify(item)}`);
  } finally {
    await open.close();
  }
} finally {
  rmSync(work, { recursive: true, force: true });
}
console.log(failures ? `${failures} check(s) failed` : 'all large-document checks passed');
process.exit(failures ? 1 : 0);
