#include "formats/psd/PackBits.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// A packet's bytes (1 to 128) copied or filled in place, in a few fixed-size moves: a call per
// packet would cost as much as the bytes. The last move of each overlaps the one before it.
template <size_t kSize>
void move(uint8_t* to, const uint8_t* from) {
    std::memcpy(to, from, kSize);
}

void copyPacket(uint8_t* to, const uint8_t* from, size_t n) {
    if (n >= 16) {
        for (size_t k = 0; k + 16 < n; k += 16) move<16>(to + k, from + k);
        move<16>(to + n - 16, from + n - 16);
    } else if (n >= 8) {
        move<8>(to, from);
        move<8>(to + n - 8, from + n - 8);
    } else if (n >= 4) {
        move<4>(to, from);
        move<4>(to + n - 4, from + n - 4);
    } else {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

void fillPacket(uint8_t* to, uint8_t value, size_t n) {
    uint8_t same[16];
    std::memset(same, value, sizeof same);
    if (n >= 16) {
        for (size_t k = 0; k + 16 < n; k += 16) move<16>(to + k, same);
        move<16>(to + n - 16, same);
    } else if (n >= 8) {
        move<8>(to, same);
        move<8>(to + n - 8, same);
    } else {
        std::memset(to, value, n);  // runs pack 2 to 128 bytes: short ones are rare
    }
}

}  // namespace

bool packBitsDecode(const uint8_t* source, int32_t sourceLength, uint8_t* destination, int32_t expectedLength) {
    int32_t in = 0;
    int32_t out = 0;
    while (out < expectedLength) {
        if (in >= sourceLength) return false;
        const int n = static_cast<int8_t>(source[in++]);
        if (n >= 0) {
            if (n + 1 > expectedLength - out || n + 1 > sourceLength - in) return false;
            copyPacket(destination + out, source + in, static_cast<size_t>(n + 1));
            out += n + 1;
            in += n + 1;
        } else if (n != -128) {
            if (in >= sourceLength) return false;
            const uint8_t value = source[in++];
            if (1 - n > expectedLength - out) return false;
            fillPacket(destination + out, value, static_cast<size_t>(1 - n));
            out += 1 - n;
        }
    }
    return true;
}

namespace {

using Word = uint64_t;
constexpr size_t kWord = sizeof(Word);
constexpr Word kOnes = 0x0101010101010101ull;
constexpr Word kHighs = 0x8080808080808080ull;

Word load(const uint8_t* p) {
    Word w;
    std::memcpy(&w, p, kWord);
    return w;
}

// Index of the first byte of w (in memory order) that is not zero; w is not zero.
size_t firstNonZeroByte(Word w) {
    return static_cast<size_t>(std::endian::native == std::endian::little ? std::countr_zero(w)
                                                                            : std::countl_zero(w)) / 8;
}

// A word with the top bit set in the lowest-addressed zero byte of w (above it bits may be set
// too), zero when no byte is zero.
Word zeroBytes(Word w) { return (w - kOnes) & ~w & kHighs; }

// How many of the bytes at from, up to limit of them, equal b; sixteen or eight at a time.
size_t runOf(const uint8_t* from, size_t limit, uint8_t b) {
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(b));
    for (; k + 16 <= limit; k += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k));
        const auto same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)));
        if (same != 0xFFFF) return k + static_cast<size_t>(std::countr_one(same));
    }
#endif
    const Word pattern = kOnes * b;
    for (; k + kWord <= limit; k += kWord) {
        const Word differs = load(from + k) ^ pattern;
        if (differs != 0) return k + firstNonZeroByte(differs);
    }
    while (k < limit && from[k] == b) ++k;
    return k;
}

// The first q in [from, end) with s[q] == s[q + 1], or end; s[end] must be readable.
size_t firstPair(const uint8_t* s, size_t from, size_t end) {
    size_t q = from;
#if defined(__SSE2__)
    for (; q + 16 <= end; q += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + q));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + q + 1));
        const auto pairs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next)));
        if (pairs != 0) return q + static_cast<size_t>(std::countr_zero(pairs));
    }
#endif
    for (; q + kWord <= end; q += kWord) {
        const Word pairs = zeroBytes(load(s + q) ^ load(s + q + 1));
        if (pairs != 0) return q + firstNonZeroByte(pairs);
    }
    while (q < end && s[q] != s[q + 1]) ++q;
    return q;
}

template <bool kWrite>
int32_t encode(const uint8_t* source, int32_t sourceLength, uint8_t* destination) {
    const size_t length = sourceLength > 0 ? static_cast<size_t>(sourceLength) : 0;
    size_t written = 0;
    size_t p = 0;
    while (p < length) {
        const uint8_t b = source[p];
        const size_t k = runOf(source + p + 1, std::min<size_t>(127, length - p - 1), b);
        if (k >= 1) {
            // A pair of equal bytes or more: a run packet of k + 1 bytes.
            if (kWrite) {
                destination[written] = static_cast<uint8_t>(-static_cast<int32_t>(k));
                destination[written + 1] = b;
            }
            written += 2;
            p += k + 1;
            continue;
        }
        // Literal: cut at 128 bytes, before the next pair of equal bytes, or at the row end.
        const size_t end = std::min(p + 128, length - 1);
        const size_t pair = p + 1 < end ? firstPair(source, p + 1, end) : end;
        const size_t taken = pair < end ? pair - p : std::min<size_t>(128, length - p);
        if (kWrite) {
            destination[written] = static_cast<uint8_t>(taken - 1);
            std::memcpy(destination + written + 1, source + p, taken);
        }
        written += taken + 1;
        p += taken;
    }
    return static_cast<int32_t>(written);
}

}  // namespace

int32_t packBitsEncode(const uint8_t* source, int32_t length, uint8_t* destination) {
    return destination ? encode<true>(source, length, destination) : encode<false>(source, length, nullptr);
}

int64_t packBitsMaxLength(int64_t length) { return length <= 0 ? 0 : length + (length + 2) / 3; }
