// Times the page (headless Chromium, file://) against the native program, in interleaved rounds:
// a 2048 x 2048 x 12 document WLX -> PSD and its PSD back to WLX, the native program single-
// threaded; then 100 copies of the example converted at once by the page. Also reports the longest
// the progress bar stood still.
// Usage: node page-bench.mjs [ROUNDS]   (default 3)
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdirSync, mkdtempSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { performance } from 'node:perf_hooks';
import { convert, launch, nativeProgram, openPage, repo } from './browser.mjs';

const rounds = Number(process.argv[2] || 3);
const work = mkdtempSync(join(tmpdir(), 'rivodiv-web-bench-'));
const median = (values) => values.slice().sort((a, b) => a - b)[values.length >> 1];
const seconds = (ms) => (ms / 1000).toFixed(2);
try {
  const wlx = join(work, 'bench.wlx');
  execFileSync(join(repo, 'build', 'default', 'make_bench_wlx'), [wlx]);
  execFileSync(nativeProgram, [wlx]);
  const psd = join(work, 'bench.psd');
  console.log(`document: 2048 x 2048, 12 layers, ${statSync(wlx).size} bytes as WLX, ${statSync(psd).size} as PSD`);

  const browser = await launch();
  try {
    for (const source of [wlx, psd]) {
      const name = source.endsWith('.wlx') ? 'bench.wlx' : 'bench.psd';
      const direction = source.endsWith('.wlx') ? 'WLX -> PSD' : 'PSD -> WLX';
      const native = [], worker = [], page = [], still = [];
      for (let round = 0; round < rounds; ++round) {
        const dir = join(work, `native${round}`);
        mkdirSync(dir);
        copyFileSync(source, join(dir, name));
        const start = performance.now();
        execFileSync(nativeProgram, [join(dir, name)], { env: { ...process.env, RIVODIV_THREADS: '1' } });
        native.push(performance.now() - start);
        rmSync(dir, { recursive: true });

        const tab = await openPage(browser);
        await convert(tab, [source], 600000);
        const item = await tab.$eval('#files .file', (e) => ({ ...e.dataset }));
        if (item.state !== 'done') throw new Error(`the page did not convert the document: ${item.state}`);
        worker.push(Number(item.milliseconds));
        page.push(Number(item.totalMilliseconds));
        still.push(Number(item.longestStill));
        await tab.close();
        console.log(`${direction} round ${round + 1}: native ${seconds(native[round])} s, page ${seconds(page[round])} s ` +
                    `(worker ${seconds(worker[round])} s, bar still at most ${seconds(still[round])} s)`);
      }
      console.log(`${direction} median: native ${seconds(median(native))} s, page ${seconds(median(page))} s (worker ` +
                  `${seconds(median(worker))} s); page / native = ${(median(page) / median(native)).toFixed(2)}`);
    }

    // Many small files: from the choice until the last is shown.
    const small = join(work, 'small');
    mkdirSync(small);
    const files = [];
    for (let i = 1; i <= 100; ++i) {
      files.push(join(small, `example${String(i).padStart(3, '0')}.wlx`));
      copyFileSync(join(repo, 'examples', 'example.wlx'), files[files.length - 1]);
    }
    const times = [];
    for (let round = 0; round < rounds; ++round) {
      const tab = await openPage(browser);
      await convert(tab, files, 600000);
      const items = await tab.$$eval('#files .file', (list) => list.map((e) => ({ ...e.dataset })));
      if (items.some((item) => item.state !== 'done')) throw new Error('the page did not convert every small file');
      times.push(Math.max(...items.map((item) => Number(item.totalMilliseconds))));
      await tab.close();
      console.log(`100 example files round ${round + 1}: ${seconds(times[round])} s`);
    }
    console.log(`100 example files median: ${seconds(median(times))} s`);
  } finally {
    await browser.close();
  }
} finally {
  rmSync(work, { recursive: true, force: true });
}
