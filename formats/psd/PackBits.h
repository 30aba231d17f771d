#pragma once
#include <cstdint>

// Unpacks one PackBits row into exactly expectedLength bytes. False when the source runs out first
// or a packet would write past the row. Source bytes left after the row is complete are ignored.
bool packBitsDecode(const uint8_t* source, int32_t sourceLength, uint8_t* destination, int32_t expectedLength);

// Packs one row; returns the packed length. With a null destination only the length is computed.
// The destination must have room for the returned length.
int32_t packBitsEncode(const uint8_t* source, int32_t length, uint8_t* destination);

// Room enough for any packed row of length bytes, so that a row can be packed once into a buffer
// of this size and kept, without counting first. The worst is a one-byte literal before every
// pair: 4 bytes for 3.
int64_t packBitsMaxLength(int64_t length);
