#include "desktop/pixbuf/WlxPicture.h"

#include <algorithm>
#include <new>

#include "composite/CompositeBands.h"
#include "formats/wlx/WlxReader.h"
#include "image/dib24.h"

namespace {

constexpr uint32_t kWhite = 0xffffff;

// Composites each layer as soon as the reader has inflated it and gives its storage back for the
// next one, so a window of layers is held however many the document has.
class CompositingSink final : public WlxLayerSink {
public:
    explicit CompositingSink(Conversion& conversion) : conversion_(conversion) {}
    ~CompositingSink() override {
        for (const PixelBytes& pixels : spare_) conversion_.budget().release(pixels.size());
    }
    CompositingSink(const CompositingSink&) = delete;
    CompositingSink& operator=(const CompositingSink&) = delete;

    size_t begin(const DocumentInfo& doc, size_t layerCount) override {
        doc_ = doc;
        return conversion_.heldAtOnce(Layer::pixelBytes(doc.width, doc.height), layerCount);
    }
    // The canvas is made once the first layer has been read whole, not from the header alone: a
    // header may declare 65535 x 65535 in a file of a few bytes, and filling that canvas with white
    // would take a viewer's memory before the reader finds the file short. False when it cannot be
    // held: there is no picture to show without it.
    bool ensureCanvas() {
        if (canvas_.bits != nullptr || failed_) return !failed_;
        failed_ = !canvas_.create(doc_.width, doc_.height, 0, conversion_);
        if (!failed_) canvas_.fill(kWhite);
        return !failed_;
    }
    PixelBytes reusedPixels() override {
        if (spare_.empty()) return {};
        PixelBytes pixels = std::move(spare_.back());
        spare_.pop_back();
        return pixels;
    }
    void layerRead(Layer* layer) override {
        if (ensureCanvas()) {
            compositeInBands(*layer, canvas_, conversion_.pool());
            spare_.push_back(std::move(layer->pixels));
        }
        if (--layer->refCount == 0) delete layer;  // the one reference handed over
    }

    dib24& canvas() { return canvas_; }

private:
    Conversion& conversion_;
    DocumentInfo doc_;
    dib24 canvas_;
    bool failed_ = false;
    std::vector<PixelBytes> spare_;
};

}  // namespace

std::vector<uint8_t> boxReduce(const std::vector<uint8_t>& rgb, int32_t w, int32_t h, int32_t outW, int32_t outH) {
    std::vector<uint8_t> out(static_cast<size_t>(outW) * static_cast<size_t>(outH) * 3);
    // Source pixel x covers [x * outW, (x + 1) * outW) in units where an output pixel is w wide:
    // integer weights, so every output pixel's weights add up to exactly w x h.
    std::vector<uint64_t> row(static_cast<size_t>(outW) * 3);
    std::vector<uint64_t> acc(static_cast<size_t>(outW) * 3);
    const uint64_t total = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    int32_t oy = 0;
    uint64_t yFilled = 0;  // of the current output row's h units
    for (int32_t y = 0; y < h; ++y) {
        std::fill(row.begin(), row.end(), 0);
        const uint8_t* src = rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(w) * 3;
        int32_t ox = 0;
        uint64_t xFilled = 0;
        for (int32_t x = 0; x < w; ++x, src += 3) {
            uint64_t left = static_cast<uint64_t>(outW);  // this source pixel's width in units
            while (left > 0) {
                const uint64_t take = std::min<uint64_t>(left, static_cast<uint64_t>(w) - xFilled);
                uint64_t* to = &row[static_cast<size_t>(ox) * 3];
                to[0] += take * src[0];
                to[1] += take * src[1];
                to[2] += take * src[2];
                left -= take;
                xFilled += take;
                if (xFilled == static_cast<uint64_t>(w)) {
                    xFilled = 0;
                    ++ox;
                }
            }
        }
        uint64_t left = static_cast<uint64_t>(outH);
        while (left > 0) {
            const uint64_t take = std::min<uint64_t>(left, static_cast<uint64_t>(h) - yFilled);
            for (size_t i = 0; i < acc.size(); ++i) acc[i] += take * row[i];
            left -= take;
            yFilled += take;
            if (yFilled == static_cast<uint64_t>(h)) {
                uint8_t* to = out.data() + static_cast<size_t>(oy) * static_cast<size_t>(outW) * 3;
                for (size_t i = 0; i < acc.size(); ++i) to[i] = static_cast<uint8_t>((acc[i] + total / 2) / total);
                std::fill(acc.begin(), acc.end(), 0);
                yFilled = 0;
                ++oy;
            }
        }
    }
    return out;
}

bool readWlxPicture(std::FILE* in, Conversion& conversion, WlxPicture& picture, int32_t wantedWidth,
                    int32_t wantedHeight) {
    DocumentInfo doc;
    CompositingSink sink(conversion);
    try {
        // A file without layers is white paper.
        if (!readWlx(in, doc, conversion, sink) || !sink.ensureCanvas()) return false;
        const dib24& canvas = sink.canvas();
        const int32_t w = canvas.width, h = canvas.height;
        if (!conversion.reserve(static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 3, "the picture"))
            return false;
        std::vector<uint8_t> rgb(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
        canvas.copyRgbTopDown(rgb.data(), 3);
        const int32_t outW = wantedWidth > 0 ? std::min(wantedWidth, w) : w;
        const int32_t outH = wantedHeight > 0 ? std::min(wantedHeight, h) : h;
        picture.width = outW;
        picture.height = outH;
        picture.rgb = outW == w && outH == h ? std::move(rgb) : boxReduce(rgb, w, h, outW, outH);
        return true;
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
}
