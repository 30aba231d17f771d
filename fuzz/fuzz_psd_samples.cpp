// The PSD sample paths a reader hands file bytes to: ZIP channels inflated into exact-size rows,
// and colour conversion of any mode and depth, with an embedded profile that Little CMS parses.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/psd/PixelConversion.h"
#include "formats/psd/ZipChannel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Header: mode, depth choice, width, channel count, flags, profile length (2 bytes), then the
    // profile, then samples or a zlib stream.
    if (size < 7) return 0;
    static const uint16_t kDepths[4] = {1, 8, 16, 32};
    const uint16_t mode = data[0] % 10;
    const uint16_t depth = kDepths[data[1] % 4];
    const uint64_t width = data[2] % 64 + 1;
    const uint16_t channels = data[3] % 6;
    const bool zip = data[4] & 1, predicted = data[4] & 2;
    const size_t profileSize = std::min<size_t>(static_cast<size_t>(data[5] | data[6] << 8), size - 7);
    const uint8_t* rest = data + 7 + profileSize;
    size_t restSize = size - 7 - profileSize;

    // Exact-size heap copies, so that a read past either end is seen.
    std::unique_ptr<uint8_t[]> profile(new uint8_t[profileSize + 1]);
    std::memcpy(profile.get(), data + 7, profileSize);
    std::vector<uint8_t> palette(768);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<uint8_t>(i * 7);

    psd::ColourSource source;
    source.mode = mode;
    source.depth = depth;
    source.channels = channels;
    source.modeData = palette.data();
    source.modeDataSize = data[4] & 4 ? palette.size() : 0;
    source.transparentIndex = data[4] & 8 ? data[2] : -1;
    source.iccProfile = profileSize != 0 ? profile.get() : nullptr;
    source.iccProfileSize = profileSize;
    psd::PixelConverter converter;
    std::string problem;
    if (!converter.prepare(source, problem)) return 0;

    const uint64_t rowBytes = converter.rowBytes(width);
    const uint64_t rows = 3;
    const uint64_t planeBytes = rowBytes * rows;
    const size_t planeCount = converter.colourChannels();
    std::unique_ptr<uint8_t[]> samples(new uint8_t[planeBytes * planeCount]);
    if (zip) {
        // One channel's rows inflated, copied into every plane.
        std::unique_ptr<uint8_t[]> stream(new uint8_t[restSize + 1]);
        std::memcpy(stream.get(), rest, restSize);
        if (!psd::inflateZipChannel(stream.get(), restSize, predicted, depth, width, rows, samples.get(), problem)) {
            return 0;
        }
        for (size_t c = 1; c < planeCount; ++c) std::memcpy(samples.get() + c * planeBytes, samples.get(), planeBytes);
    } else {
        if (restSize < planeBytes * planeCount) return 0;
        std::memcpy(samples.get(), rest, planeBytes * planeCount);
    }
    std::vector<psd::StoredRows> planes;
    for (size_t c = 0; c < planeCount; ++c) {
        planes.push_back({samples.get() + c * planeBytes, static_cast<ptrdiff_t>(rowBytes)});
    }
    std::unique_ptr<uint8_t[]> pixels(new uint8_t[width * rows * 4]);
    converter.convertRows(planes.data(), rows, width, pixels.get(), static_cast<ptrdiff_t>(width * 4), 4);
    converter.convertAlphaRow(samples.get(), width, pixels.get() + 3, 4);
    return 0;
}
