// crc32: the standard CRC-32 (reflected polynomial 0xEDB88320), as deltas
// store it.
#pragma once

#include <cstdint>

// CRC-32 of the bytes; 0 for a length <= 0 (as for an empty input).
uint32_t crc32b(const uint8_t *data, int64_t length);

// Continues a CRC over more bytes: crc32_update(crc32b(a), b) is the CRC of a
// followed by b. Start from 0.
uint32_t crc32_update(uint32_t crc, const uint8_t *data, int64_t length);
