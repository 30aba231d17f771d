// Times WLX -> PSD of a 2048 x 2048 x 12 document in the page (headless Chromium, file://) against
// the native program, in interleaved rounds. The native program runs single-threaded.
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
  const source = join(work, 'bench.wlx');
  execFileSync(join(repo, 'build', 'default', 'make_bench_wlx'), [source]);
  console.log(`document: 2048 x 2048, 12 layers, ${statSync(source).size} bytes`);

  const browser = await launch();
  const native = [], worker = [], page = [];
  try {
    for (let round = 0; round < rounds; ++round) {
      const dir = join(work, `native${round}`);
      mkdirSync(dir);
      copyFileSync(source, join(dir, 'bench.wlx'));
      const start = performance.now();
      execFileSync(nativeProgram, [join(dir, 'bench.wlx')], { env: { ...process.env, RIVODIV_THREADS: '1' } });
      native.push(performance.now() - start);
      rmSync(dir, { recursive: true });

      const tab = await openPage(browser);
      await convert(tab, [source], 600000);
      const item = await tab.$eval('#files .file', (e) => ({ ...e.dataset }));
      if (item.state !== 'done') throw new Error(`the page did not convert the document: ${item.state}`);
      worker.push(Number(item.milliseconds));
      page.push(Number(item.totalMilliseconds));
      await tab.close();
      console.log(`round ${round + 1}: native ${seconds(native[round])} s, page ${seconds(page[round])} s ` +
                  `(worker ${seconds(worker[round])} s)`);
    }
  } finally {
    await browser.close();
  }
  console.log(`median: native ${seconds(median(native))} s, page ${seconds(median(page))} s (worker ` +
              `${seconds(median(worker))} s); page / native = ${(median(page) / median(native)).toFixed(2)}`);
} finally {
  rmSync(work, { recursive: true, force: true });
}
