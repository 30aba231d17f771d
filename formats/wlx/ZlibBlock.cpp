#include "formats/wlx/ZlibBlock.h"

#include <zlib.h>

#include <limits>

namespace {

// zlib counts in uInt; longer buffers are handed over in pieces of this size.
constexpr size_t kMaxPiece = std::numeric_limits<uInt>::max();
constexpr size_t kScratchSize = 1024;

// Gives the stream the next piece of input once it has used up the last one.
void feedInput(z_stream& s, const uint8_t*& next, size_t& left) {
    if (s.avail_in != 0 || left == 0) return;
    const size_t piece = left < kMaxPiece ? left : kMaxPiece;
    s.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(next));
    s.avail_in = static_cast<uInt>(piece);
    next += piece;
    left -= piece;
}

// Runs step over the whole input through a 1024-byte scratch buffer, appending what each call
// produces, until the stream ends; false when a call fails.
template <typename Step>
bool pumpThroughScratch(z_stream& s, const uint8_t* input, size_t inputLength, std::string& output,
                        Step step) {
    unsigned char scratch[kScratchSize];
    const uint8_t* next = input;
    size_t left = inputLength;
    int rc;
    do {
        feedInput(s, next, left);
        s.next_out = scratch;
        s.avail_out = kScratchSize;
        rc = step(left != 0);
        if (rc != Z_OK && rc != Z_STREAM_END) return false;
        output.append(reinterpret_cast<const char*>(scratch), kScratchSize - s.avail_out);
    } while (rc != Z_STREAM_END);
    return true;
}

}  // namespace

bool compressBlock(const uint8_t* input, size_t inputLength, std::string& output) {
    z_stream s{};
    if (deflateInit(&s, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    // Z_FINISH only with the last piece, as a one-shot compress2 does, so the bytes are the same.
    const bool ok = pumpThroughScratch(s, input, inputLength, output, [&](bool moreInput) {
        return deflate(&s, moreInput ? Z_NO_FLUSH : Z_FINISH);
    });
    deflateEnd(&s);
    return ok;
}

bool uncompressBlock(const uint8_t* input, size_t inputLength, std::string& output) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return false;
    // A stream cut short ends in Z_BUF_ERROR: no input left and no progress possible.
    const bool ok =
        pumpThroughScratch(s, input, inputLength, output, [&](bool) { return inflate(&s, Z_NO_FLUSH); });
    inflateEnd(&s);
    return ok;
}

bool uncompressBlockExact(const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputLength) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return false;
    const uint8_t* next = input;
    size_t left = inputLength;
    uint8_t* out = output;
    size_t outLeft = outputLength;
    // Once the buffer is full, one spare byte shows whether the stream would produce more.
    unsigned char probe = 0;
    bool probing = false;
    bool ok = false;
    for (;;) {
        feedInput(s, next, left);
        if (s.avail_out == 0 && !probing) {
            if (outLeft != 0) {
                const size_t piece = outLeft < kMaxPiece ? outLeft : kMaxPiece;
                s.next_out = out;
                s.avail_out = static_cast<uInt>(piece);
                out += piece;
                outLeft -= piece;
            } else {
                s.next_out = &probe;
                s.avail_out = 1;
                probing = true;
            }
        }
        const int rc = inflate(&s, Z_NO_FLUSH);
        if (probing && s.avail_out == 0) break;  // more bytes than the buffer holds
        if (rc == Z_STREAM_END) {
            ok = probing || (s.avail_out == 0 && outLeft == 0);
            break;
        }
        if (rc != Z_OK) break;
    }
    inflateEnd(&s);
    return ok;
}
