// The CRC-32 of zip archives (ISO-HDLC: the reflected polynomial 0xEDB88320, starting and
// ending with all bits inverted), taken piece by piece as the bytes go by.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues the CRC-32 crc of the bytes before p with the n bytes at p; 0 is the CRC of no
// bytes, so a whole CRC is UpdateCrc32(0, p, n) and pieces chain in order.
uint32_t UpdateCrc32(uint32_t crc, const void* p, size_t n);
