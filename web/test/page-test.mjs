// The page in headless Chromium, opened from file://: the example WLX, a PSD, a CMYK PSD and a
// damaged file go through the picker; the downloads must equal the native program's output byte for
// byte, the preview must show the native program's merged image, the damaged file must show the
// read-failure message and the native program's reason beside it while the others convert, and the
// CMYK file the native program's note. A PSD with a darken layer and a document larger than the
// screen follow: each preview must be the native composite of the file downloaded, at the pixels it
// shows. "Download all" must wait for the conversions, a dropped folder convert what is in it,
// "clear" empty the list, and the page fit 360 px without sideways scroll. Saves
// build/web/screenshot.png, screenshot-360.png and screenshot-1280.png.
import { execFileSync, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { unzipSync } from 'fflate';
import { convert, downloaded, launch, nativeProgram, openPage, pagePath, repo, results } from './browser.mjs';

let failures = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures += 1;
}

// The merged image of a PSD as RGB rows (raw or PackBits), as the native program wrote it.
function psdMergedImage(psd) {
  const channels = psd.readUInt16BE(12), height = psd.readUInt32BE(14), width = psd.readUInt32BE(18);
  let at = 26;
  for (let section = 0; section < 3; ++section) at += 4 + psd.readUInt32BE(at);
  const compression = psd.readUInt16BE(at);
  at += 2;
  const planes = [];
  if (compression === 0) {
    for (let c = 0; c < channels; ++c, at += width * height) planes.push(psd.subarray(at, at + width * height));
  } else {
    const counts = [];
    for (let i = 0; i < channels * height; ++i, at += 2) counts.push(psd.readUInt16BE(at));
    for (let c = 0; c < channels; ++c) {
      const plane = new Uint8Array(width * height);
      for (let y = 0, out = 0; y < height; ++y) {
        const end = at + counts[c * height + y];
        while (at < end) {
          const n = psd.readInt8(at++);
          if (n >= 0) for (let k = 0; k <= n; ++k) plane[out++] = psd[at++];
          else if (n !== -128) { for (let k = 0; k < 1 - n; ++k) plane[out++] = psd[at]; ++at; }
        }
      }
      planes.push(plane);
    }
  }
  return { width, height, planes };
}

// Samples of preview (RGBA, canvas-sized) that differ from the merged image beneath them: a
// preview smaller than the document shows the pixel at (x * width / w, y * height / h).
function differingSamples(preview, merged) {
  let differing = 0;
  for (let y = 0; y < preview.height; ++y) {
    const my = Math.floor(y * merged.height / preview.height);
    for (let x = 0; x < preview.width; ++x) {
      const at = my * merged.width + Math.floor(x * merged.width / preview.width);
      for (let c = 0; c < 3; ++c) if (preview.rgba[(y * preview.width + x) * 4 + c] !== merged.planes[c][at]) ++differing;
    }
  }
  return differing;
}

const readPreviews = (page) => page.$$eval('#files .file canvas.picture', (canvases) => canvases.map((c) =>
  ({ width: c.width, height: c.height, rgba: Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data) })));

// A CMYK document without layers or a colour profile, its merged image raw: the native program
// converts it with a note that the colours are approximate.
function cmykPsd(width, height) {
  const header = Buffer.alloc(26);
  header.write('8BPS', 0);
  header.writeUInt16BE(1, 4);
  header.writeUInt16BE(4, 12);
  header.writeUInt32BE(height, 14);
  header.writeUInt32BE(width, 18);
  header.writeUInt16BE(8, 22);
  header.writeUInt16BE(4, 24);
  const planes = Buffer.alloc(4 * width * height);
  for (let i = 0; i < planes.length; ++i) planes[i] = (i * 37) & 0xff;
  return Buffer.concat([header, Buffer.alloc(12), Buffer.from([0, 0]), planes]);
}

// The lines the native program prints under "rivodiv: <message>" for a file, without the prefix.
function nativeSecondLines(path) {
  const run = spawnSync(nativeProgram, [path], { stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8' });
  return run.stderr.split('\n').filter((line) => line.startsWith('rivodiv:   ')).map((line) => line.slice(11));
}

// The merged image the native program writes into the PSD it makes of a WLX file.
function nativeComposite(wlx) {
  const dir = mkdtempSync(join(tmpdir(), 'rivodiv-composite-'));
  try {
    copyFileSync(wlx, join(dir, 'in.wlx'));
    execFileSync(nativeProgram, [join(dir, 'in.wlx')]);
    return readFileSync(join(dir, 'in.psd'));
  } finally {
    rmSync(dir, { recursive: true });
  }
}

if (!existsSync(pagePath)) throw new Error(`${pagePath} is missing; run ./rivodiv.sh web`);
const work = mkdtempSync(join(tmpdir(), 'rivodiv-web-'));
try {
  // References from the native program: example.wlx -> example.psd, and that PSD, renamed
  // scene.psd, -> scene.wlx.
  const native = join(work, 'native');
  const inputs = join(work, 'inputs');
  const downloads = join(work, 'downloads');
  for (const dir of [native, inputs, downloads]) mkdirSync(dir);
  copyFileSync(join(repo, 'examples', 'example.wlx'), join(native, 'example.wlx'));
  execFileSync(nativeProgram, [join(native, 'example.wlx')], { stdio: ['ignore', 'inherit', 'inherit'] });
  copyFileSync(join(native, 'example.psd'), join(native, 'scene.psd'));
  execFileSync(nativeProgram, [join(native, 'scene.psd')], { stdio: ['ignore', 'inherit', 'inherit'] });

  const example = readFileSync(join(native, 'example.wlx'));
  writeFileSync(join(inputs, 'damaged.wlx'), example.subarray(0, example.length >> 1));
  copyFileSync(join(native, 'example.wlx'), join(inputs, 'example.wlx'));
  copyFileSync(join(native, 'scene.psd'), join(inputs, 'scene.psd'));
  writeFileSync(join(inputs, 'cmyk.psd'), cmykPsd(7, 5));
  // What the page must show under the failure and under the success.
  copyFileSync(join(inputs, 'damaged.wlx'), join(native, 'damaged.wlx'));
  copyFileSync(join(inputs, 'cmyk.psd'), join(native, 'cmyk.psd'));
  const damagedReason = nativeSecondLines(join(native, 'damaged.wlx'));
  const cmykNotes = nativeSecondLines(join(native, 'cmyk.psd'));
  // A document with a darken layer as a PSD, and one larger than the preview, from the bench tool.
  for (const [name, size] of [['modes', [300, 200, 8]], ['big', [2400, 1200, 6]]]) {
    execFileSync(join(repo, 'build', 'default', 'make_bench_wlx'), [join(native, `${name}.wlx`), ...size.map(String)]);
    execFileSync(nativeProgram, [join(native, `${name}.wlx`)]);
  }
  // WLX has no darken: the top normal layer's blend key becomes darken in the PSD's layer record.
  const modes = readFileSync(join(native, 'modes.psd'));
  modes.write('dark', modes.lastIndexOf('8BIMnorm') + 4);
  writeFileSync(join(native, 'modes.psd'), modes);
  copyFileSync(join(native, 'modes.psd'), join(inputs, 'modes.psd'));
  copyFileSync(join(native, 'big.wlx'), join(inputs, 'big.wlx'));
  rmSync(join(native, 'modes.wlx'));
  execFileSync(nativeProgram, [join(native, 'modes.psd')]);
  const expected = Object.fromEntries(['example.psd', 'scene.wlx', 'cmyk.wlx', 'modes.wlx', 'big.psd'].map((name) => [name, readFileSync(join(native, name))]));

  const browser = await launch();
  try {
    const page = await openPage(browser, { downloadPath: downloads });
    await page.setViewport({ width: 1100, height: 900 });
    // The files are chosen with the keyboard alone: Tab to the picker, Enter opens it.
    await page.keyboard.press('Tab');
    check(await page.evaluate(() => document.activeElement.id === 'picker'), 'the first Tab reaches the file picker');
    // Puppeteer turns on file-chooser interception asynchronously, so on a busy machine the first
    // Enter can reach the page before it is on; press again rather than fail.
    let chooser;
    for (let attempt = 1; !chooser; ++attempt) {
      try {
        [chooser] = await Promise.all([page.waitForFileChooser({ timeout: 5000 }), page.keyboard.press('Enter')]);
      } catch (error) {
        if (attempt === 3) throw error;
      }
    }
    await chooser.accept(['damaged.wlx', 'example.wlx', 'scene.psd', 'cmyk.psd'].map((name) => join(inputs, name)));
    await results(page, 4);

    const items = await page.$$eval('#files .file', (list) => list.map((item) => ({
      name: item.querySelector('h2').textContent,
      state: item.dataset.state,
      status: item.querySelector('.status').textContent,
      reasons: [...item.querySelectorAll('.reason')].map((e) => e.textContent),
      notes: [...item.querySelectorAll('.note')].map((e) => e.textContent),
      layers: [...item.querySelectorAll('tbody tr')].map((row) =>
        [...row.querySelectorAll('td')].slice(1).map((cell) => cell.textContent).join(' | ')),
    })));
    check(items[0].state === 'error' && items[0].status === 'cannot read file: damaged.wlx',
          `damaged file shows its read failure: "${items[0].status}"`);
    check(damagedReason.length === 1 && JSON.stringify(items[0].reasons) === JSON.stringify(damagedReason),
          `the reason under it is the native program's: ${JSON.stringify(items[0].reasons)} vs ${JSON.stringify(damagedReason)}`);
    check(items[1].state === 'done' && items[2].state === 'done', 'the files after it convert');
    check(items[1].notes.length === 0 && items[1].reasons.length === 0, 'a plain conversion shows no note');
    check(items[3].state === 'done' && cmykNotes.length === 1 && JSON.stringify(items[3].notes) === JSON.stringify(cmykNotes),
          `the note under cmyk.psd is the native program's: ${JSON.stringify(items[3].notes)} vs ${JSON.stringify(cmykNotes)}`);
    // The example's top layer is the hidden guide layer; its "Mountains" layer has a CP932 name.
    check(items[1].layers.length === 6 && items[1].layers.some((l) => l.startsWith('山 2 | Normal | 100% | yes')),
          `layer list of example.wlx: ${JSON.stringify(items[1].layers)}`);

    for (const [index, name] of [[1, 'example.psd'], [2, 'scene.wlx']]) {
      const link = (await page.$$('#files .file'))[index];
      await (await link.$('a.download')).click();
      const bytes = await downloaded(join(downloads, name));
      check(Buffer.compare(bytes, expected[name]) === 0, `${name} downloaded byte-identical to the native program's (${bytes.length} bytes)`);
    }
    await page.click('#download-all');
    const zip = unzipSync(await downloaded(join(downloads, 'rivodiv.zip')));
    check(Object.keys(zip).sort().join() === 'cmyk.wlx,example.psd,scene.wlx' &&
          Object.entries(zip).every(([name, bytes]) => Buffer.compare(Buffer.from(bytes), expected[name]) === 0),
          `"download all" zip holds the outputs unchanged: ${Object.keys(zip).join(', ')}`);

    // Every preview pixel against the merged image the native program wrote into example.psd.
    const merged = psdMergedImage(expected['example.psd']);
    const previews = await readPreviews(page);
    for (const [index, preview] of previews.slice(0, 2).entries()) {
      const differing = differingSamples(preview, merged);
      const [x, y] = [180, 70];  // the sun's centre
      const at = (y * merged.width + x) * 4;
      check(preview.width === merged.width && preview.height === merged.height && differing === 0,
            `preview of ${items[index + 1].name} equals the native merged image (pixel ${x},${y} = ` +
            `${preview.rgba.slice(at, at + 3)} vs ${[0, 1, 2].map((c) => merged.planes[c][y * merged.width + x])}; ${differing} differing samples)`);
    }
    await page.screenshot({ path: join(repo, 'build', 'web', 'screenshot.png'), fullPage: true });

    // The preview is the composite of the file downloaded. modes.psd has a darken layer, which the
    // WLX file holds as normal: its preview is the native merged image of the downloaded WLX. A
    // document larger than the screen previews smaller, each pixel the composite's beneath it.
    await convert(page, [join(inputs, 'modes.psd'), join(inputs, 'big.wlx')]);
    const more = await page.$$('#files .file');
    for (const [index, name] of [[4, 'modes.wlx'], [5, 'big.psd']]) {
      await (await more[index].$('a.download')).click();
      const bytes = await downloaded(join(downloads, name));
      check(Buffer.compare(bytes, expected[name]) === 0, `${name} downloaded byte-identical to the native program's (${bytes.length} bytes)`);
    }
    const composites = { 'modes.wlx': psdMergedImage(nativeComposite(join(downloads, 'modes.wlx'))),
                         'big.psd': psdMergedImage(readFileSync(join(downloads, 'big.psd'))) };
    const [modesPreview, bigPreview] = (await readPreviews(page)).slice(-2);
    for (const [name, preview] of [['modes.wlx', modesPreview], ['big.psd', bigPreview]]) {
      const merged = composites[name];
      const smaller = preview.width < merged.width;
      check((name === 'big.psd') === smaller && differingSamples(preview, merged) === 0,
            `preview of ${name} (${preview.width} x ${preview.height}) is the native composite of the download ` +
            `(${merged.width} x ${merged.height}): ${differingSamples(preview, merged)} differing samples`);
    }
    const marks = await more[4].$$eval('.layer-mode .changed', (list) => list.map((e) => e.textContent));
    check(marks.length === 1 && marks[0] === 'Darken → Normal: WLX has no darken', `the layer list marks the mode WLX lacks: ${JSON.stringify(marks)}`);

    // "Download all" waits while anything converts, and says how many; the state is read in the
    // same task as the drop, before any conversion can end.
    const dropBytes = (name, bytes) => page.evaluate((name, bytes) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], name));
      document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
      const button = document.getElementById('download-all');
      return { disabled: button.disabled, text: button.textContent };
    }, name, Array.from(bytes));
    const zipButton = () => page.$eval('#download-all', (b) => ({ disabled: b.disabled, text: b.textContent }));
    const converting = await dropBytes('again.wlx', readFileSync(join(inputs, 'example.wlx')));
    check(converting.disabled && converting.text === 'Download all (.zip): 1 still converting',
          `"download all" is off while a file converts: ${JSON.stringify(converting)}`);
    await results(page, 7);
    const converted = await zipButton();
    check(!converted.disabled && converted.text === 'Download all (.zip)', `and on once it is done: ${JSON.stringify(converted)}`);

    // A dropped folder converts the files in it (in folders inside too) and nothing else; one with
    // none says so.
    const folder = join(work, 'folder');
    const longName = 'a-long-file-name-that-a-narrow-screen-has-to-wrap-somewhere-cmyk.psd';
    mkdirSync(join(folder, 'inner'), { recursive: true });
    mkdirSync(join(work, 'empty'));
    copyFileSync(join(inputs, 'example.wlx'), join(folder, 'example.wlx'));
    copyFileSync(join(inputs, 'cmyk.psd'), join(folder, 'inner', longName));
    writeFileSync(join(folder, 'notes.txt'), 'not a picture');
    const cdp = await page.createCDPSession();
    const drag = { items: [], files: [folder, join(work, 'empty')], dragOperationsMask: 1 };
    for (const type of ['dragEnter', 'dragOver', 'drop']) await cdp.send('Input.dispatchDragEvent', { type, x: 200, y: 200, data: drag });
    await results(page, 10);
    const dropped = await page.$$eval('#files .file', (list) => list.slice(7).map((item) =>
      `${item.querySelector('h2').textContent}: ${item.dataset.state}: ${item.querySelector('.status').textContent}`));
    check(JSON.stringify(dropped) === JSON.stringify([
      'folder/example.wlx: done: Converted: example.psd', `folder/inner/${longName}: done: Converted: ${longName.replace('.psd', '.wlx')}`,
      'empty: error: this folder holds no .wlx, .psd or .psb file']), `dropped folders: ${JSON.stringify(dropped)}`);

    // No sideways scroll on a phone: a wide layer table scrolls in its own box.
    for (const width of [360, 1280]) {
      await page.setViewport({ width, height: 900 });
      const wide = await page.evaluate(() => document.documentElement.scrollWidth);
      check(wide <= width, `at ${width} px wide the page is ${wide} px wide`);
      await page.screenshot({ path: join(repo, 'build', 'web', `screenshot-${width}.png`), fullPage: true });
    }

    // "Clear" empties the list, also while a file converts; the page goes on taking files.
    await dropBytes('again.wlx', readFileSync(join(inputs, 'example.wlx')));
    await page.click('#clear');
    const cleared = await page.evaluate(() => ({ items: document.querySelectorAll('#files .file').length,
                                                zip: document.getElementById('download-all').disabled,
                                                clear: document.getElementById('clear').disabled }));
    check(cleared.items === 0 && cleared.zip && cleared.clear, `"clear" empties the list: ${JSON.stringify(cleared)}`);
    await dropBytes('after.wlx', readFileSync(join(inputs, 'example.wlx')));
    await results(page, 1);
    check(await page.$eval('#files .file', (e) => e.dataset.state) === 'done', 'a file dropped after "clear" converts');

    // The Japanese text when the browser's language is Japanese; the file arrives by a drop.
    const japanese = await openPage(browser, { language: 'ja-JP' });
    await japanese.evaluate((bytes) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], 'damaged.wlx'));
      document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    }, Array.from(readFileSync(join(inputs, 'damaged.wlx'))));
    await results(japanese, 1);
    const status = await japanese.$eval('#files .status', (e) => e.textContent);
    check(status === 'ファイルの読み込みに失敗しました: damaged.wlx', `Japanese read failure: "${status}"`);
  } finally {
    await browser.close();
  }
} finally {
  rmSync(work, { recursive: true, force: true });
}
console.log(failures ? `${failures} check(s) failed` : 'all page checks passed');
process.exit(failures ? 1 : 0);
