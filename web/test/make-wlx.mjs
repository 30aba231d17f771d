// Writes large WLX documents for the page's memory test without holding a layer: each layer's
// rows are made one at a time and deflated as a stream. The layers are flat shapes, so a
// 12000 x 12000 document is a few megabytes.
import { closeSync, openSync, writeSync } from 'node:fs';
import { createDeflate, constants } from 'node:zlib';

// A layer: its record's fields, and the BGRA bytes of row y (counted from the top) into row.
//   { name, blendCode, opacityByte, visible, fillRow(row, y) }
export async function writeWlx(path, width, height, layers) {
  const out = openSync(path, 'w');
  try {
    const header = Buffer.alloc(22 + 8 + 4);
    header.write('DOVIZOZ', 0, 'latin1');
    header.writeUInt32LE(10, 8);
    header.writeUInt16LE(width, 12);
    header.writeUInt16LE(height, 14);
    header.writeUInt16LE(layers.length, 16);
    header.writeUInt32LE(35, 30);
    writeSync(out, header);
    for (const layer of layers) {
      const block = await deflateRows(width, height, layer.fillRow);
      const record = Buffer.alloc(39);
      record.write(layer.name, 0, 'latin1');
      record[32] = layer.blendCode;
      record[33] = layer.opacityByte;
      record[34] = layer.visible ? 1 : 0;
      record.writeUInt32LE(block.length, 35);
      writeSync(out, record);
      writeSync(out, block);
    }
  } finally {
    closeSync(out);
  }
}

// The zlib stream of the layer's rows, bottom row first as WLX stores them.
function deflateRows(width, height, fillRow) {
  return new Promise((resolve, reject) => {
    const deflate = createDeflate({ level: constants.Z_BEST_SPEED });
    const chunks = [];
    deflate.on('data', (chunk) => chunks.push(chunk));
    deflate.on('end', () => resolve(Buffer.concat(chunks)));
    deflate.on('error', reject);
    const rowsAtOnce = 64;
    let y = height;
    const more = () => {
      while (y > 0) {
        const rows = Math.min(rowsAtOnce, y);
        const chunk = Buffer.alloc(rows * width * 4);
        for (let k = 0; k < rows; ++k) fillRow(chunk.subarray(k * width * 4, (k + 1) * width * 4), y - 1 - k);
        y -= rows;
        if (!deflate.write(chunk)) return deflate.once('drain', more);
      }
      deflate.end();
    };
    more();
  });
}

// Three flat layers: an opaque ground in bands, a multiplied rectangle, a half-transparent
// screened band, so the composite has more than one mode in it.
export function flatLayers(width, height) {
  const span = (row, from, to, pixel) => row.fill(Buffer.from(pixel), from * 4, to * 4);
  return [
    { name: 'Ground', blendCode: 0, opacityByte: 128, visible: true,
      fillRow: (row, y) => span(row, 0, width, [200, 120 + (y * 100 / height | 0), 60, 255]) },
    { name: 'Box', blendCode: 1, opacityByte: 96, visible: true,
      fillRow: (row, y) => { if (y >= height / 4 && y < height * 3 / 4) span(row, width >> 2, (width * 3) >> 2, [40, 160, 220, 255]); } },
    { name: 'Band', blendCode: 4, opacityByte: 64, visible: true,
      fillRow: (row, y) => { if ((y >> 9) % 2 === 0) span(row, 0, width, [250, 250, 250, 128]); } },
  ];
}
