// The zip CRC-32, eight bytes a step (slicing by eight): eight tables of 256 entries, made
// at compile time, so that each step costs eight lookups rather than eight shifts per byte.
#include "server/crc32.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// Table k gives the CRC of a byte followed by k zero bytes.
struct CCrcTables {
    uint32_t m_table[8][256] = {};

    constexpr CCrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1)));
            m_table[0][i] = crc;
        }
        for (uint32_t i = 0; i < 256; ++i) {
            for (int k = 1; k < 8; ++k) {
                const uint32_t previous = m_table[k - 1][i];
                m_table[k][i] = (previous >> 8) ^ m_table[0][previous & 0xFF];
            }
        }
    }
};

constexpr CCrcTables g_crcTables;

// The next four bytes at p as a little-endian number, as the tables index them.
uint32_t LittleEndian32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t UpdateCrc32(uint32_t crc, const void* p, size_t n) {
    const uint32_t(&t)[8][256] = g_crcTables.m_table;
    const unsigned char* pByte = static_cast<const unsigned char*>(p);
    crc = ~crc;
    while (n >= 8) {
        const uint32_t low = LittleEndian32(pByte) ^ crc;
        const uint32_t high = LittleEndian32(pByte + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        pByte += 8;
        n -= 8;
    }
    while (n-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *pByte++) & 0xFF];
    return ~crc;
}
