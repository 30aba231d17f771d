// The page: takes files from the picker or a drop (folders too), converts them in a few workers
// that stay up between files, and shows the picture, the layers and the converted file for each.
'use strict';
(() => {
  const japanese = /^ja\b/i.test((navigator.languages && navigator.languages[0]) || navigator.language || '');
  document.documentElement.lang = japanese ? 'ja' : 'en';

  const ui = japanese ? {
    title: 'rivodiv — WLX ⇄ PSD',
    lead: 'WLX の絵を PSD に、PSD を WLX に、このページの中で変換します。ファイルはどこにも送られません。',
    drop: '.wlx、.psd、.psb のファイル (またはフォルダー) をここにドロップ',
    pick: 'または Enter か Space でファイルを選択',
    downloadAll: 'すべてダウンロード (.zip)', stillConverting: (n) => `すべてダウンロード (.zip): あと ${n} 件変換中`,
    clear: '一覧を消去',
    emptyFolder: '.wlx、.psd、.psb のファイルがないフォルダーです',
    folderNotTaken: 'このブラウザーではフォルダーの中を読めません。中のファイルをドロップしてください',
    notAFile: 'フォルダーはそのままでは変換できません。中のファイルをドロップしてください',
    queued: '待機中', working: '変換中…', done: (out) => `変換しました: ${out}`,
    download: (out) => `${out} をダウンロード`, picture: (name) => `${name} の統合画像`,
    layers: 'レイヤー (上から順に)', thumb: 'サムネイル', name: '名前', mode: '合成モード',
    opacity: '不透明度', visible: '表示', yes: 'はい', no: 'いいえ',
    summary: (done, failed, total) => `${total} 件中 ${done} 件を変換、${failed} 件は失敗`,
    modeChanged: (from, to) => `${from} → ${to}: WLX には ${from} がありません`,
    nameCut: (full) => `WLX に入る 31 バイトまで (元の名前: ${full})`,
  } : {
    title: 'rivodiv — WLX ⇄ PSD',
    lead: 'Converts WLX paintings to PSD and PSD files to WLX right here. Nothing leaves your computer.',
    drop: 'Drop .wlx, .psd or .psb files (or folders) here',
    pick: 'or press Enter or Space to choose files',
    downloadAll: 'Download all (.zip)', stillConverting: (n) => `Download all (.zip): ${n} still converting`,
    clear: 'Clear the list',
    emptyFolder: 'this folder holds no .wlx, .psd or .psb file',
    folderNotTaken: 'this browser does not let the page into folders; drop the files in it instead',
    notAFile: 'a folder cannot be converted as it is; drop the files in it',
    queued: 'Waiting', working: 'Converting…', done: (out) => `Converted: ${out}`,
    download: (out) => `Download ${out}`, picture: (name) => `Merged picture of ${name}`,
    layers: 'Layers (top first)', thumb: 'Thumbnail', name: 'Name', mode: 'Blend mode',
    opacity: 'Opacity', visible: 'Visible', yes: 'yes', no: 'no',
    summary: (done, failed, total) => `${done} of ${total} converted, ${failed} failed`,
    modeChanged: (from, to) => `${from} → ${to}: WLX has no ${from.toLowerCase()}`,
    nameCut: (full) => `cut to the 31 bytes WLX keeps (was: ${full})`,
  };
  // The programs' English texts; the Japanese ones come from the module itself.
  const englishMessages = ['', 'file not found: ', 'unknown file type: ', 'cannot read file: ', 'cannot write file: '];
  const blendModes = japanese
    ? ['通常', '通常', '乗算', '乗算', 'スクリーン', 'オーバーレイ', 'ハードライト', 'ソフトライト',
       'ビビッドライト', 'リニアライト', 'ピンライト', '覆い焼きカラー', '焼き込みカラー', '覆い焼き (リニア)',
       '焼き込み (リニア)', '比較 (暗)', '比較 (明)', '差の絶対値', '除外', '色相', '彩度', 'カラー', '輝度']
    : ['Normal', 'Normal', 'Multiply', 'Multiply', 'Screen', 'Overlay', 'Hard light', 'Soft light',
       'Vivid light', 'Linear light', 'Pin light', 'Color dodge', 'Color burn', 'Linear dodge',
       'Linear burn', 'Darken', 'Lighten', 'Difference', 'Exclusion', 'Hue', 'Saturation', 'Color',
       'Luminosity'];
  const cp932 = new TextDecoder('shift_jis');

  for (const element of document.querySelectorAll('[data-text]')) element.textContent = ui[element.dataset.text];

  const workerUrl = URL.createObjectURL(
    new Blob([document.getElementById('worker-source').textContent], { type: 'text/javascript' }));
  // The preview is made at the screen's size at most: a larger one would only be scaled down.
  const previewSide = Math.max(256, Math.min(2048, Math.ceil(Math.max(screen.width, screen.height) * (devicePixelRatio || 1))));
  const parallel = Math.max(1, Math.min(navigator.hardwareConcurrency || 2, 4));
  // A worker's module is kept for the next file unless its memory grew past this: WebAssembly
  // memory never shrinks, and a large document's would stay taken.
  const keptHeapBytes = 256 << 20;
  // One worker starts with the page, so the first file does not wait for its module either.
  const idle = [new Worker(workerUrl)];
  const list = document.getElementById('files');
  const summary = document.getElementById('summary');
  const downloadAll = document.getElementById('download-all');
  const clear = document.getElementById('clear');
  const waiting = [];
  const entries = [];
  let running = 0;

  function element(tag, properties = {}, children = []) {
    const e = Object.assign(document.createElement(tag), properties);
    for (const child of children) e.append(child);
    return e;
  }

  function rgbaCanvas(width, height, rgba, className, label) {
    const canvas = element('canvas', { width, height, className });
    canvas.setAttribute('role', 'img');
    canvas.setAttribute('aria-label', label);
    if (width > 0 && height > 0)
      canvas.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(rgba.buffer), width, height), 0, 0);
    return canvas;
  }

  const modeName = (mode) => blendModes[mode] || `${blendModes[0]} (${mode})`;

  function layerTable(layers) {
    const head = element('tr', {}, [ui.thumb, ui.name, ui.mode, ui.opacity, ui.visible]
      .map((text) => element('th', { scope: 'col', textContent: text })));
    // Layer 0 is the bottom one; lists of layers are read from the top.
    const rows = layers.slice().reverse().map((layer) => {
      const name = cp932.decode(layer.name);
      const mode = modeName(layer.blendMode);
      const sourceMode = modeName(layer.sourceMode);
      // What the output lost, beside what it holds.
      const nameCell = element('td', { className: 'layer-name', textContent: name });
      if (layer.sourceName.length) nameCell.append(element('small', { className: 'changed', textContent: ui.nameCut(cp932.decode(layer.sourceName)) }));
      const modeCell = element('td', { className: 'layer-mode', textContent: mode });
      if (sourceMode !== mode) modeCell.append(element('small', { className: 'changed', textContent: ui.modeChanged(sourceMode, mode) }));
      const row = element('tr', { className: layer.visible ? '' : 'hidden-layer' }, [
        element('td', {}, [rgbaCanvas(layer.thumbnailWidth, layer.thumbnailHeight, layer.thumbnail, 'thumb', name)]),
        nameCell,
        modeCell,
        element('td', { className: 'layer-opacity', textContent: `${layer.opacity}%` }),
        element('td', { className: 'layer-visible', textContent: layer.visible ? ui.yes : ui.no }),
      ]);
      return row;
    });
    return element('table', { className: 'layers' }, [
      element('caption', { textContent: ui.layers }), element('thead', {}, [head]), element('tbody', {}, rows)]);
  }

  function updateSummary() {
    const done = entries.filter((e) => e.state === 'done').length;
    const failed = entries.filter((e) => e.state === 'error').length;
    const converting = entries.length - done - failed;
    summary.textContent = entries.length ? ui.summary(done, failed, entries.length) : '';
    // A zip made now would leave out what is still converting.
    downloadAll.disabled = done === 0 || converting > 0;
    downloadAll.textContent = converting > 0 ? ui.stillConverting(converting) : ui.downloadAll;
    clear.disabled = entries.length === 0;
  }

  function finish(entry, result) {
    // Kept on the item for the benchmark: the worker's part, and the whole way from the choice.
    entry.item.dataset.milliseconds = result.milliseconds.toFixed(1);
    if (result.heapBytes) entry.item.dataset.heapBytes = result.heapBytes;
    if (result.outcome !== 0) {
      const text = japanese && result.text ? cp932.decode(result.text) : englishMessages[result.outcome] || '';
      entry.state = 'error';
      entry.status.textContent = text + result.subject;
      // The programs' second line: why, in English in every language.
      if (result.detail) entry.status.after(element('p', { className: 'reason', textContent: result.detail }));
    } else {
      entry.state = 'done';
      entry.outputName = result.outputName;
      // The page keeps the output as a blob only, which the browser may hold outside the tab's memory.
      entry.blob = new Blob([result.output]);
      entry.status.textContent = ui.done(result.outputName);
      // What the POSIX program prints once the file is written, in English as there.
      entry.status.after(...(result.notes || []).map((note) => element('p', { className: 'note', textContent: note })));
      entry.url = URL.createObjectURL(entry.blob);
      const link = element('a', {
        className: 'download', href: entry.url,
        download: result.outputName, textContent: ui.download(result.outputName),
      });
      const picture = rgbaCanvas(result.width, result.height, result.picture, 'picture', ui.picture(entry.file.name));
      entry.item.append(element('div', { className: 'result' }, [
        element('div', {}, [picture, element('p', {}, [link])]),
        element('div', { className: 'layers-box' }, [layerTable(result.layers)])]));
    }
    entry.item.dataset.totalMilliseconds = (performance.now() - entry.added).toFixed(1);
    // And the longest the bar stood still.
    entry.item.dataset.longestStill = Math.max(entry.longestStill || 0, performance.now() - entry.progressAt).toFixed(1);
    entry.item.dataset.state = entry.state;
    updateSummary();
  }

  function startNext() {
    while (running < parallel && waiting.length) {
      const entry = waiting.shift();
      running += 1;
      entry.state = 'working';
      entry.item.dataset.state = 'working';
      entry.status.textContent = ui.working;
      // A worker whose module is up saves starting one (about 200 ms) for each file.
      const worker = idle.pop() || new Worker(workerUrl);
      entry.progressAt = performance.now();
      entry.worker = worker;
      const done = (result, keep) => {
        // A cleared entry's worker was ended with it.
        if (entry.worker !== worker) return;
        entry.worker = null;
        running -= 1;
        if (keep && idle.length < parallel) idle.push(worker);
        else worker.terminate();
        finish(entry, result);
        startNext();
      };
      worker.onmessage = (event) => {
        if (event.data.type === 'progress') {
          const now = performance.now();
          entry.longestStill = Math.max(entry.longestStill || 0, now - entry.progressAt);
          entry.progressAt = now;
          entry.progress.value = event.data.fraction;
        }
        else done(event.data, !event.data.stopped && event.data.heapBytes <= keptHeapBytes);
      };
      worker.onerror = (event) => {
        event.preventDefault();
        done({ outcome: 3, subject: entry.file.name, milliseconds: 0 }, false);
      };
      entry.file.arrayBuffer().then(
        (buffer) => worker.postMessage({ name: entry.file.name, bytes: new Uint8Array(buffer), previewSide }, [buffer]),
        // What cannot be read as a file is mostly a folder where the browser has no way into it.
        () => done({ outcome: 3, subject: entry.file.name, detail: ui.notAFile, milliseconds: 0 }, true));
    }
  }

  function item(label, progress, status) {
    const li = element('li', { className: 'file' }, [element('h2', { textContent: label }), progress, status]);
    list.append(li);
    return li;
  }

  // files: File objects, each with the label to show (its path inside a dropped folder).
  function add(files) {
    for (const { file, label = file.name } of files) {
      const status = element('p', { className: 'status', textContent: ui.queued });
      status.setAttribute('aria-live', 'polite');
      const progress = element('progress', { max: 1, value: 0 });
      progress.setAttribute('aria-label', label);
      const entry = { file, item: item(label, progress, status), status, progress, state: 'queued', added: performance.now() };
      entry.item.dataset.state = 'queued';
      entries.push(entry);
      waiting.push(entry);
    }
    updateSummary();
    startNext();
  }

  // A dropped folder with nothing to convert in it (or none the page may read) says so where its
  // files would be.
  function addNotice(label, text) {
    const status = element('p', { className: 'status', textContent: text });
    const entry = { item: item(label, element('progress'), status), status, state: 'error' };
    entry.item.dataset.state = 'error';
    entries.push(entry);
    updateSummary();
  }

  const wanted = /\.(wlx|psd|psb)$/i;
  const byLabel = (a, b) => (a.label < b.label ? -1 : a.label > b.label ? 1 : 0);
  // The .wlx, .psd and .psb files under a dropped folder, by the File System Access handle (which
  // works in a page opened from disk) or else by the older entries, whose reader gives its entries
  // in batches until an empty one.
  async function handleFiles(folder, path) {
    const found = [];
    for await (const child of folder.values()) {
      const label = `${path}/${child.name}`;
      if (child.kind === 'directory') found.push(...await handleFiles(child, label));
      else if (wanted.test(child.name)) found.push({ file: await child.getFile(), label });
    }
    return found;
  }
  async function entryFiles(folder) {
    const found = [];
    const reader = folder.createReader();
    for (;;) {
      const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
      if (batch.length === 0) break;
      for (const child of batch) {
        if (child.isDirectory) found.push(...await entryFiles(child));
        else if (wanted.test(child.name))
          found.push({ file: await new Promise((resolve, reject) => child.file(resolve, reject)), label: child.fullPath.slice(1) });
      }
    }
    return found;
  }

  async function addDropped(dataTransfer) {
    // Every way in must be asked for while the drop event runs; the folders are read after.
    const items = Array.from(dataTransfer.items || []).filter((i) => i.kind === 'file');
    const fsEntries = items.map((i) => (i.webkitGetAsEntry ? i.webkitGetAsEntry() : null));
    if (!fsEntries.some((e) => e && e.isDirectory)) return add(Array.from(dataTransfer.files, (file) => ({ file })));
    const handles = items.map((i) => (i.getAsFileSystemHandle ? i.getAsFileSystemHandle().catch(() => null) : null));
    const files = items.map((i) => i.getAsFile());
    for (const [k, entry] of fsEntries.entries()) {
      if (!entry || !entry.isDirectory) {
        if (files[k]) add([{ file: files[k] }]);
        continue;
      }
      let found = null;
      try {
        const handle = await handles[k];
        found = handle && handle.kind === 'directory' ? await handleFiles(handle, entry.name) : await entryFiles(entry);
      } catch (_) {
        // Neither way lets this browser into the folder.
      }
      if (found === null) addNotice(entry.name, ui.folderNotTaken);
      else if (found.length) add(found.sort(byLabel));
      else addNotice(entry.name, ui.emptyFolder);
    }
  }

  const picker = document.getElementById('picker');
  // Chromium opens a file input on Space only; Enter should do it too.
  picker.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter') return;
    event.preventDefault();
    picker.click();
  });
  picker.addEventListener('change', () => {
    add(Array.from(picker.files, (file) => ({ file })));
    picker.value = '';
  });
  // A drop anywhere on the page counts: a file dropped beside the zone would otherwise replace
  // the page with itself.
  const drop = document.getElementById('drop');
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) drop.classList.remove('over');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    addDropped(event.dataTransfer).catch((error) => console.error(error));
  });

  clear.addEventListener('click', () => {
    for (const entry of entries) {
      if (entry.worker) entry.worker.terminate();
      entry.worker = null;
      if (entry.url) URL.revokeObjectURL(entry.url);
    }
    entries.length = 0;
    waiting.length = 0;
    running = 0;
    list.replaceChildren();
    updateSummary();
  });

  downloadAll.addEventListener('click', async () => {
    const files = {};
    for (const entry of entries.filter((e) => e.state === 'done')) {
      // Two inputs of the same name from different folders keep both outputs.
      let name = entry.outputName;
      for (let n = 2; name in files; ++n) name = entry.outputName.replace(/(\.[^.]*)?$/, ` (${n})$1`);
      files[name] = entry.blob;
    }
    for (const name of Object.keys(files)) files[name] = new Uint8Array(await files[name].arrayBuffer());
    // The formats compress their own pixels; storing keeps the zip quick.
    const zip = fflate.zipSync(files, { level: 0 });
    const link = element('a', { href: URL.createObjectURL(new Blob([zip])), download: 'rivodiv.zip' });
    document.body.append(link);
    link.click();
    link.remove();
  });
})();
