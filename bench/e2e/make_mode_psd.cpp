// Writes a WLX painting as a PSD of another colour mode or depth, with the same layers and pixel
// count, so that reading it can be timed against the 8-bit RGB PSD of the same painting:
//   make_mode_psd doc.wlx out.psd rgb16|cmyk [profile.icc]
// rgb16 stores each value v as v x 257 (it reads back as v); cmyk stores red, green and blue as the
// inverted cyan, magenta and yellow with no black (without a profile they read back unchanged). Rows
// are PackBits-packed as a paint program writes them; the merged image is white.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/psd/PackBits.h"
#include "formats/wlx/WlxReader.h"

namespace {

using Bytes = std::vector<uint8_t>;

void be16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes& b, uint32_t v) {
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
void text(Bytes& b, const char* s) { b.insert(b.end(), s, s + std::strlen(s)); }

// A channel of rows, PackBits-packed: the row counts, then the rows.
Bytes packed(const std::vector<Bytes>& rows) {
    Bytes counts, data;
    std::vector<uint8_t> buffer;
    for (const Bytes& row : rows) {
        buffer.resize(static_cast<size_t>(packBitsMaxLength(static_cast<int64_t>(row.size()))));
        const int32_t n = packBitsEncode(row.data(), static_cast<int32_t>(row.size()), buffer.data());
        be16(counts, static_cast<uint32_t>(n));
        data.insert(data.end(), buffer.begin(), buffer.begin() + n);
    }
    counts.insert(counts.end(), data.begin(), data.end());
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_mode_psd doc.wlx out.psd rgb16|cmyk [profile.icc]\n");
        return 2;
    }
    const std::string kind = argv[3];
    const bool deep = kind == "rgb16";
    if (!deep && kind != "cmyk") return 2;
    Bytes profile;
    if (argc > 4) {
        std::ifstream in(argv[4], std::ios::binary);
        profile.assign(std::istreambuf_iterator<char>(in), {});
    }
    LayerTempList layers;
    DocumentInfo doc;
    if (!readWlxFile(argv[1], layers, doc)) return 1;
    const uint32_t w = static_cast<uint32_t>(doc.width), h = static_cast<uint32_t>(doc.height);
    const uint16_t colours = deep ? 3 : 4;
    const size_t sample = deep ? 2 : 1;

    Bytes out;
    text(out, "8BPS");
    be16(out, 1);
    out.insert(out.end(), 6, 0);
    be16(out, colours);
    be32(out, h);
    be32(out, w);
    be16(out, deep ? 16 : 8);
    be16(out, deep ? 3 : 4);
    be32(out, 0);  // colour mode data
    Bytes resources;
    if (!profile.empty()) {
        text(resources, "8BIM");
        be16(resources, 1039);
        be16(resources, 0);  // empty name, padded
        be32(resources, static_cast<uint32_t>(profile.size()));
        resources.insert(resources.end(), profile.begin(), profile.end());
        if (profile.size() % 2) resources.push_back(0);
    }
    be32(out, static_cast<uint32_t>(resources.size()));
    out.insert(out.end(), resources.begin(), resources.end());

    // Each layer's channels: transparency, then the colours.
    Bytes records, data;
    for (const Layer* layer : layers) {
        std::vector<Bytes> channels;
        for (int c = -1; c < colours; ++c) {
            std::vector<Bytes> rows(h, Bytes(w * sample));
            for (uint32_t y = 0; y < h; ++y) {
                for (uint32_t x = 0; x < w; ++x) {
                    const uint8_t* p = &layer->pixels[(static_cast<size_t>(y) * w + x) * 4];  // blue, green, red, alpha
                    const uint8_t v = c < 0 ? p[3] : c < 3 ? p[2 - c] : 255;
                    if (deep) {
                        rows[y][x * 2] = v;
                        rows[y][x * 2 + 1] = v;
                    } else {
                        rows[y][x] = v;
                    }
                }
            }
            channels.push_back(packed(rows));
        }
        be32(records, 0);
        be32(records, 0);
        be32(records, h);
        be32(records, w);
        be16(records, static_cast<uint32_t>(channels.size()));
        for (size_t c = 0; c < channels.size(); ++c) {
            be16(records, static_cast<uint16_t>(static_cast<int>(c) - 1));
            be32(records, static_cast<uint32_t>(channels[c].size() + 2));
        }
        text(records, "8BIMnorm");
        records.push_back(static_cast<uint8_t>(layer->opacity * 255 / 100));
        records.push_back(0);
        records.push_back(layer->visible ? 0 : 2);
        records.push_back(0);
        const std::string name = layer->name.substr(0, 31);
        Bytes extra;
        be32(extra, 0);  // mask
        be32(extra, 0);  // blending ranges
        extra.push_back(static_cast<uint8_t>(name.size()));
        text(extra, name.c_str());
        while (extra.size() % 4) extra.push_back(0);
        be32(records, static_cast<uint32_t>(extra.size()));
        records.insert(records.end(), extra.begin(), extra.end());
        for (const Bytes& channel : channels) {
            be16(data, 1);
            data.insert(data.end(), channel.begin(), channel.end());
        }
    }
    Bytes info;
    be16(info, static_cast<uint32_t>(layers.size()));
    info.insert(info.end(), records.begin(), records.end());
    info.insert(info.end(), data.begin(), data.end());
    if (info.size() % 2) info.push_back(0);
    be32(out, static_cast<uint32_t>(info.size() + 8));
    be32(out, static_cast<uint32_t>(info.size()));
    out.insert(out.end(), info.begin(), info.end());
    be32(out, 0);  // global mask

    // Merged image: white (no ink), packed.
    const std::vector<Bytes> white(h * colours, Bytes(w * sample, 0xFF));
    be16(out, 1);
    const Bytes merged = packed(white);
    out.insert(out.end(), merged.begin(), merged.end());

    std::FILE* f = std::fopen(argv[2], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size()) return 1;
    return std::fclose(f) == 0 ? 0 : 1;
}
