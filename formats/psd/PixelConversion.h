#pragma once
// Depth and colour conversion of PSD samples, in one place for every colour mode and depth: rows of
// samples as the file stores them (after decompression) become the layers' 8-bit blue, green, red
// and alpha. A converter is made once per document and converts bands of rows on any number of
// threads at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace psd {

// Colour modes of the file header.
enum class ColourMode : uint16_t {
    Bitmap = 0,
    Grayscale = 1,
    Indexed = 2,
    Rgb = 3,
    Cmyk = 4,
    Multichannel = 7,
    Duotone = 8,
    Lab = 9,
};

// Bytes a row of width samples of depth bits takes as stored: 1-bit rows hold 8 pixels a byte, the
// first in the high bit, the last byte padded. Depths other than 1, 8, 16 and 32 give 0.
constexpr uint64_t storedRowBytes(uint64_t width, uint16_t depth) {
    return depth == 1 ? width / 8 + (width % 8 != 0) : depth == 8 || depth == 16 || depth == 32 ? width * (depth / 8) : 0;
}

// What a document's conversion depends on: its header and what it says about colour elsewhere. The
// bytes are only read while the converter is prepared; it keeps copies of what it needs.
struct ColourSource {
    uint16_t mode = static_cast<uint16_t>(ColourMode::Rgb);
    uint16_t depth = 8;
    uint16_t channels = 3;                  // the header's channel count: colour, then alpha channels
    const uint8_t* modeData = nullptr;      // the colour-mode data section (an indexed document's palette)
    size_t modeDataSize = 0;
    int32_t transparentIndex = -1;          // image resource 1047, or -1 when the file has none
    const uint8_t* iccProfile = nullptr;    // image resource 1039, or null
    size_t iccProfileSize = 0;
};

// Rows of one channel's stored samples: row r starts at first + r * stride.
struct StoredRows {
    const uint8_t* first = nullptr;
    ptrdiff_t stride = 0;
};

class PixelConverter {
public:
    PixelConverter();
    ~PixelConverter();
    PixelConverter(PixelConverter&&) noexcept;
    PixelConverter& operator=(PixelConverter&&) noexcept;

    // Sets the converter up for a document. False when its mode and depth cannot be read, problem
    // saying why ("colour mode 5 is not supported", "a multichannel document with fewer than 3
    // channels is not supported", an indexed document with less than 768 bytes of palette, fewer
    // channels than the mode has). A CMYK profile that Little CMS refuses (damaged, not CMYK) is no
    // failure: the pixels are fine, so the colours are converted as without a profile and note()
    // says so. A palette longer than 768 bytes is read from its start; a transparent index outside
    // the palette is no index. Throws std::bad_alloc when Little CMS has no memory for its work.
    bool prepare(const ColourSource& source, std::string& problem);

    uint16_t depth() const { return depth_; }
    // Channels of colour a pixel is made from, in file order (the channel IDs 0 .. n - 1 of a
    // layer): 1 (bitmap, grayscale, indexed, duotone), 3 (RGB, Lab and multichannel's first three)
    // or 4 (CMYK).
    size_t colourChannels() const { return colourChannels_; }
    // Channels of the merged image that belong to the colour mode; those after them are alpha
    // channels. Multichannel documents have no alpha channels: every channel is one of the mode's.
    size_t modeChannels() const { return modeChannels_; }
    // Bytes one row of width samples of the document's depth takes as stored.
    uint64_t rowBytes(uint64_t width) const { return storedRowBytes(width, depth_); }
    // True when the colours are only approximately the document's: CMYK without a usable profile.
    bool approximate() const { return approximate_; }
    // A line for the user when the conversion is not exact or leaves channels out, or null.
    const char* note() const { return note_; }

    // Converts rows of stored colour samples: channels[c] gives the rows of colour channel c, for
    // colourChannels() channels. Pixel x of row r is written at pixels + r * rowStride + x * step:
    // blue, green, red in its bytes 0, 1 and 2; for an indexed document with a transparent index,
    // alpha (byte 3) becomes 0 where a pixel has that index, and is left alone elsewhere. Nothing
    // else is written. Safe to call from several threads at once.
    void convertRows(const StoredRows* channels, uint64_t rows, uint64_t width, uint8_t* pixels, ptrdiff_t rowStride,
                     size_t step) const;
    void convertRow(const uint8_t* const* channels, uint64_t width, uint8_t* pixels, size_t step) const;

    // Scales one row of transparency or mask samples of the document's depth to 8 bits, one byte
    // every step: 16-bit as colour is scaled, 32-bit linearly (clamped to 0..1, x 255, rounded; NaN
    // is 0), 1-bit as a grey level (1 is 0, 0 is 255).
    void convertAlphaRow(const uint8_t* samples, uint64_t width, uint8_t* out, size_t step) const;

    // Little CMS's part, when the mode takes it; opaque here so that its header stays out.
    struct ColourTransform;

private:
    using RowFunction = void (*)(const PixelConverter&, const uint8_t* const*, uint64_t, uint8_t*, size_t);

    uint16_t depth_ = 0;
    size_t colourChannels_ = 0;
    size_t modeChannels_ = 0;
    bool approximate_ = false;
    const char* note_ = nullptr;
    RowFunction row_ = nullptr;
    int32_t transparentIndex_ = -1;
    uint8_t palette_[256][3] = {};  // blue, green, red of each index
    std::unique_ptr<ColourTransform> transform_;

    friend struct RowConversions;
};

// 8-bit values of single samples, as convertRows and convertAlphaRow compute them.
namespace samples {
// v16 x 255 / 65535, rounded to nearest.
constexpr uint8_t from16(uint16_t v) { return static_cast<uint8_t>((uint32_t{v} * 255 + 32767) / 65535); }
// A linear-light colour value through the sRGB curve: clamped to 0..1 (NaN is 0), x 255, rounded.
uint8_t srgbFromLinear(float v);
// A transparency or mask value: clamped to 0..1 (NaN is 0), x 255, rounded.
uint8_t alphaFromFloat(float v);
}  // namespace samples

}  // namespace psd
