#include "formats/psd/PackBits.h"

bool packBitsDecode(const uint8_t* source, int32_t sourceLength, uint8_t* destination, int32_t expectedLength) {
    int32_t in = 0;
    int32_t out = 0;
    while (out < expectedLength) {
        if (in >= sourceLength) return false;
        const int n = static_cast<int8_t>(source[in++]);
        if (n >= 0) {
            if (n + 1 > expectedLength - out || n + 1 > sourceLength - in) return false;
            for (int i = 0; i <= n; ++i) destination[out++] = source[in++];
        } else if (n != -128) {
            if (in >= sourceLength) return false;
            const uint8_t value = source[in++];
            if (1 - n > expectedLength - out) return false;
            for (int i = 0; i < 1 - n; ++i) destination[out++] = value;
        }
    }
    return true;
}

int32_t packBitsEncode(const uint8_t* source, int32_t length, uint8_t* destination) {
    int32_t written = 0;
    int32_t p = 0;
    while (p < length) {
        const uint8_t b = source[p];
        int32_t k = 0;
        while (k < 127 && p + 1 + k < length && source[p + 1 + k] == b) ++k;
        if (k >= 1) {
            // A pair of equal bytes or more: a run packet of k + 1 bytes.
            if (destination) {
                destination[written] = static_cast<uint8_t>(-k);
                destination[written + 1] = b;
            }
            written += 2;
            p += k + 1;
            continue;
        }
        // Literal: cut at 128 bytes, before the next pair of equal bytes, or at the row end.
        int32_t taken = 1;
        for (int32_t q = p + 1; q < length && taken < 128; ++q) {
            if (q + 1 < length && source[q] == source[q + 1]) break;
            ++taken;
        }
        if (destination) {
            destination[written] = static_cast<uint8_t>(taken - 1);
            for (int32_t i = 0; i < taken; ++i) destination[written + 1 + i] = source[p + i];
        }
        written += taken + 1;
        p += taken;
    }
    return written;
}
