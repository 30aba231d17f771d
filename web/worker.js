// Converts the files the page sends, one message each: { name, bytes, previewSide }. Answers with
// progress messages and then one result; the module (createRivodiv) is inlined before this script.
'use strict';

const moduleReady = createRivodiv({
  onProgress: (fraction) => postMessage({ type: 'progress', fraction }),
}).then((m) => {
  // The in-memory file system grows a file past 1 MiB by an eighth at a time, copying it each
  // time: storing a large output took longer than making it. Doubling copies it about twice; an
  // output starts with room for the source's size, which it mostly stays near, so it is seldom
  // copied at all.
  const expand = m.MEMFS.expandFileStorage;
  m.MEMFS.expandFileStorage = (node, capacity) => {
    const held = node.contents ? node.contents.length : 0;
    expand(node, held < capacity ? Math.max(capacity, held * 2, held === 0 ? sizeHint : 0) : capacity);
  };
  return m;
});
let jobs = 0;
let sizeHint = 0;  // the size of the source being converted
// The message texts (code page 932 bytes) by outcome, taken while the module surely runs.
const messageTexts = moduleReady.then((m) => [1, 2, 3, 4].map((outcome) => cString(m, m._rivodiv_message_text(outcome))));

function cString(m, pointer) {
  const heap = m.HEAPU8;
  let end = pointer;
  while (heap[end] !== 0) ++end;
  return heap.slice(pointer, end);
}

// The file's bytes without a copy where the file system holds them in an array of their own: the
// array goes to the page, and the file is removed after.
function takeFile(m, name) {
  const node = m.FS.lookupPath(name).node;
  const own = node.contents instanceof Uint8Array && node.contents.buffer !== m.HEAPU8.buffer;
  return own ? node.contents.subarray(0, node.usedBytes) : m.FS.readFile(name);
}

function preview(m) {
  const width = m._rivodiv_width();
  const height = m._rivodiv_height();
  const picture = m.HEAPU8.slice(m._rivodiv_picture(), m._rivodiv_picture() + width * height * 4);
  const layers = [];
  for (let i = 0; i < m._rivodiv_layer_count(); ++i) {
    const name = m._rivodiv_layer_name(i);
    const sourceName = m._rivodiv_layer_source_name(i);
    const tw = m._rivodiv_layer_thumbnail_width(i);
    const th = m._rivodiv_layer_thumbnail_height(i);
    const thumbnail = m._rivodiv_layer_thumbnail(i);
    layers.push({
      name: m.HEAPU8.slice(name, name + m._rivodiv_layer_name_size(i)),
      sourceName: m.HEAPU8.slice(sourceName, sourceName + m._rivodiv_layer_source_name_size(i)),
      sourceMode: m._rivodiv_layer_source_mode(i),
      blendMode: m._rivodiv_layer_blend_mode(i),
      opacity: m._rivodiv_layer_opacity(i),
      visible: m._rivodiv_layer_visible(i) !== 0,
      thumbnailWidth: tw,
      thumbnailHeight: th,
      thumbnail: m.HEAPU8.slice(thumbnail, thumbnail + tw * th * 4),
    });
  }
  return { width, height, picture, layers };
}

self.onmessage = async (event) => {
  const { name, bytes, previewSide } = event.data;
  const started = performance.now();
  let m, texts;
  try {
    m = await moduleReady;
    texts = await messageTexts;
  } catch (error) {
    postMessage({ type: 'result', outcome: 3, subject: name, detail: String(error), stopped: true });
    return;
  }
  // Each file gets an empty folder, so no earlier output is ever in the way.
  const folder = '/job' + ++jobs;
  m.FS.mkdir(folder);
  m.FS.chdir(folder);
  let result;
  try {
    // The bytes were handed over to this worker, so the file system may keep them uncopied.
    m.FS.writeFile(name, bytes, { canOwn: true });
    sizeHint = bytes.length;
    const outcome = m.ccall('rivodiv_convert', 'number', ['string', 'number'], [name, previewSide]);
    if (outcome === 0) {
      const outputName = m.UTF8ToString(m._rivodiv_output_name());
      const notes = [];
      for (let i = 0; i < m._rivodiv_note_count(); ++i) notes.push(m.UTF8ToString(m._rivodiv_note(i)));
      result = { outcome, outputName, output: takeFile(m, outputName), notes, ...preview(m) };
    } else {
      result = { outcome, subject: m.UTF8ToString(m._rivodiv_message_subject()),
                 detail: m.UTF8ToString(m._rivodiv_message_detail()) };
    }
  } catch (error) {
    // The module stopped (memory past what the browser gives, say): the file could not be read,
    // and the page ends this worker.
    result = { outcome: 3, subject: name, detail: String(error), stopped: true };
  }
  result.text = texts[result.outcome - 1];
  try {
    for (const entry of m.FS.readdir('.')) if (entry !== '.' && entry !== '..') m.FS.unlink(entry);
    m.FS.chdir('/');
    m.FS.rmdir(folder);
  } catch (_) {
    // A stopped module keeps its files; the page ends this worker anyway.
  }
  sizeHint = 0;
  result.type = 'result';
  // The memory the module holds from now on: the page keeps a worker for another file only while
  // it is small.
  result.heapBytes = m.HEAPU8.length;
  result.milliseconds = performance.now() - started;
  const transfer = [result.output, result.picture].filter(Boolean).map((a) => a.buffer);
  if (result.layers) for (const layer of result.layers) transfer.push(layer.thumbnail.buffer, layer.sourceName.buffer);
  postMessage(result, transfer);
};
