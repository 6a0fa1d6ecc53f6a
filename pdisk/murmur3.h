// murmur3: the 128-bit MurmurHash3 (x64 variant) that names the file
// history's blobs.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The hash's 16 bytes, in the order the algorithm leaves them (h1 then h2,
// each little-endian).
std::array<uint8_t, 16> murmur3_x64_128(const void *data, size_t length, uint32_t seed);
// The same as 32 lower-case hex digits.
std::string murmur3_hex(const void *data, size_t length);
