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

namespace {

// Inflates into the pieces nextPiece hands out (false once there are none) and fails unless the
// stream ends exactly when they are full; one spare byte shows whether it would produce more.
template <typename NextPiece>
bool inflateExactly(const uint8_t* input, size_t inputLength, NextPiece nextPiece) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return false;
    const uint8_t* next = input;
    size_t left = inputLength;
    uint8_t* out = nullptr;
    size_t outLeft = 0;
    unsigned char probe = 0;
    bool probing = false;
    bool ok = false;
    for (;;) {
        feedInput(s, next, left);
        if (s.avail_out == 0 && !probing) {
            if (outLeft == 0 && !nextPiece(out, outLeft)) outLeft = 0;
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
        if (probing && s.avail_out == 0) break;  // more bytes than the pieces hold
        if (rc == Z_STREAM_END) {
            ok = probing || (s.avail_out == 0 && outLeft == 0 && !nextPiece(out, outLeft));
            break;
        }
        if (rc != Z_OK) break;
    }
    inflateEnd(&s);
    return ok;
}

}  // namespace

bool uncompressBlockExact(const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputLength) {
    bool given = false;
    return inflateExactly(input, inputLength, [&](uint8_t*& out, size_t& length) {
        if (given || outputLength == 0) return false;
        given = true;
        out = output;
        length = outputLength;
        return true;
    });
}

bool uncompressRowsBottomUp(const uint8_t* input, size_t inputLength, uint8_t* pixels, size_t rowBytes,
                            size_t rows) {
    size_t row = rows;
    return inflateExactly(input, inputLength, [&](uint8_t*& out, size_t& length) {
        if (row == 0 || rowBytes == 0) return false;
        --row;
        out = pixels + row * rowBytes;
        length = rowBytes;
        return true;
    });
}

bool compressRowsBottomUp(const uint8_t* pixels, size_t rowBytes, size_t rows, PackedBlock& output) {
    // Above zlib's own bound for the default level, which adds 5 bytes per stored 16 KiB at worst.
    const size_t total = rowBytes * rows;
    const size_t capacity = total + (total >> 11) + 1024;
    if (output.capacity < capacity) {
        output.bytes.reset();
        output.bytes.reset(new uint8_t[capacity]);  // not cleared: untouched pages cost nothing
        output.capacity = capacity;
    }
    output.size = 0;
    z_stream s{};
    if (deflateInit(&s, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    uint8_t* out = output.bytes.get();
    size_t outLeft = capacity;
    size_t row = rowBytes == 0 ? 0 : rows;  // rows of no bytes give the empty stream
    int rc = Z_OK;
    // The rows go in one by one, bottom first, and Z_FINISH only with the last, so the bytes are
    // those of a one-shot compress2 of the flipped picture.
    while (rc == Z_OK) {
        if (s.avail_in == 0 && row != 0) {
            --row;
            s.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(pixels + row * rowBytes));
            s.avail_in = static_cast<uInt>(rowBytes);
        }
        if (s.avail_out == 0) {
            if (outLeft == 0) break;  // cannot happen below the bound; fails the block
            const size_t piece = outLeft < kMaxPiece ? outLeft : kMaxPiece;
            s.next_out = out;
            s.avail_out = static_cast<uInt>(piece);
            out += piece;
            outLeft -= piece;
        }
        rc = deflate(&s, row != 0 || s.avail_in != 0 ? Z_NO_FLUSH : Z_FINISH);
    }
    output.size = capacity - outLeft - s.avail_out;
    deflateEnd(&s);
    return rc == Z_STREAM_END;
}
