// The page: takes files from the picker or a drop, converts each in its own worker, and shows the
// picture, the layers and the converted file for each.
'use strict';
(() => {
  const japanese = /^ja\b/i.test((navigator.languages && navigator.languages[0]) || navigator.language || '');
  document.documentElement.lang = japanese ? 'ja' : 'en';

  const ui = japanese ? {
    title: 'rivodiv — WLX ⇄ PSD',
    lead: 'WLX の絵を PSD に、PSD を WLX に、このページの中で変換します。ファイルはどこにも送られません。',
    drop: '.wlx か .psd のファイルをここにドロップ',
    pick: 'または Enter か Space でファイルを選択',
    downloadAll: 'すべてダウンロード (.zip)',
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
    drop: 'Drop .wlx or .psd files here',
    pick: 'or press Enter or Space to choose files',
    downloadAll: 'Download all (.zip)',
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
  const list = document.getElementById('files');
  const summary = document.getElementById('summary');
  const downloadAll = document.getElementById('download-all');
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
    summary.textContent = entries.length ? ui.summary(done, failed, entries.length) : '';
    downloadAll.disabled = done === 0;
  }

  function finish(entry, result) {
    // Kept on the item for the benchmark: the worker's part, and the whole way from the choice.
    entry.item.dataset.milliseconds = result.milliseconds.toFixed(1);
    if (result.outcome !== 0) {
      const text = japanese && result.text ? cp932.decode(result.text) : englishMessages[result.outcome] || '';
      entry.state = 'error';
      entry.status.textContent = text + result.subject;
      // The programs' second line: why, in English in every language.
      if (result.detail) entry.status.after(element('p', { className: 'reason', textContent: result.detail }));
    } else {
      entry.state = 'done';
      entry.outputName = result.outputName;
      entry.output = result.output;
      entry.status.textContent = ui.done(result.outputName);
      // What the POSIX program prints once the file is written, in English as there.
      entry.status.after(...(result.notes || []).map((note) => element('p', { className: 'note', textContent: note })));
      const link = element('a', {
        className: 'download', href: URL.createObjectURL(new Blob([result.output])),
        download: result.outputName, textContent: ui.download(result.outputName),
      });
      const picture = rgbaCanvas(result.width, result.height, result.picture, 'picture', ui.picture(entry.file.name));
      entry.item.append(element('div', { className: 'result' }, [
        element('div', {}, [picture, element('p', {}, [link])]), layerTable(result.layers)]));
    }
    entry.item.dataset.totalMilliseconds = (performance.now() - entry.added).toFixed(1);
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
      const worker = new Worker(workerUrl);
      const done = (result) => {
        worker.terminate();
        running -= 1;
        finish(entry, result);
        startNext();
      };
      worker.onmessage = (event) => {
        if (event.data.type === 'progress') entry.progress.value = event.data.fraction;
        else done(event.data);
      };
      worker.onerror = (event) => {
        event.preventDefault();
        done({ outcome: 3, subject: entry.file.name, milliseconds: 0 });
      };
      entry.file.arrayBuffer().then(
        (buffer) => worker.postMessage({ name: entry.file.name, bytes: new Uint8Array(buffer), previewSide }, [buffer]),
        () => done({ outcome: 3, subject: entry.file.name, milliseconds: 0 }));
    }
  }

  function add(files) {
    for (const file of files) {
      const status = element('p', { className: 'status', textContent: ui.queued });
      status.setAttribute('aria-live', 'polite');
      const progress = element('progress', { max: 1, value: 0 });
      progress.setAttribute('aria-label', file.name);
      const item = element('li', { className: 'file' }, [element('h2', { textContent: file.name }), progress, status]);
      item.dataset.state = 'queued';
      list.append(item);
      const entry = { file, item, status, progress, state: 'queued', added: performance.now() };
      entries.push(entry);
      waiting.push(entry);
    }
    updateSummary();
    startNext();
  }

  const picker = document.getElementById('picker');
  // Chromium opens a file input on Space only; Enter should do it too.
  picker.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter') return;
    event.preventDefault();
    picker.click();
  });
  picker.addEventListener('change', () => {
    add(Array.from(picker.files));
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
    add(Array.from(event.dataTransfer.files));
  });

  downloadAll.addEventListener('click', () => {
    const files = {};
    for (const entry of entries.filter((e) => e.state === 'done')) {
      // Two inputs of the same name from different folders keep both outputs.
      let name = entry.outputName;
      for (let n = 2; name in files; ++n) name = entry.outputName.replace(/(\.[^.]*)?$/, ` (${n})$1`);
      files[name] = entry.output;
    }
    // The formats compress their own pixels; storing keeps the zip quick.
    const zip = fflate.zipSync(files, { level: 0 });
    const link = element('a', { href: URL.createObjectURL(new Blob([zip])), download: 'rivodiv.zip' });
    document.body.append(link);
    link.click();
    link.remove();
  });
})();
