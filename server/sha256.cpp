// SHA-256 as FIPS 180-4 gives it: 64-byte blocks, big-endian words.
#include "server/sha256.h"

#include <cstring>

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

uint32_t RotateRight(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

}  // namespace

void WipeBytes(void* p, size_t n) {
    volatile unsigned char* pBytes = static_cast<volatile unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) pBytes[i] = 0;
}

CSha256::CSha256() : m_block{0}, m_nInBlock(0), m_nLength(0) {
    std::memcpy(m_state, kInitialState, sizeof(m_state));
}

CSha256::~CSha256() {
    WipeBytes(m_block, sizeof(m_block));
    WipeBytes(m_state, sizeof(m_state));
}

void CSha256::Compress(const unsigned char* pBlock) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t{pBlock[4 * i]} << 24) | (uint32_t{pBlock[4 * i + 1]} << 16) |
               (uint32_t{pBlock[4 * i + 2]} << 8) | uint32_t{pBlock[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 =
            RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 =
            RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    uint32_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const uint32_t choice = (e & f) ^ (~e & g);
        const uint32_t t1 = h + s1 + choice + kRoundConstants[i] + w[i];
        const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = s0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
    m_state[5] += f;
    m_state[6] += g;
    m_state[7] += h;
    // The schedule holds the message's words.
    WipeBytes(w, sizeof(w));
}

void CSha256::Add(const void* p, size_t n) {
    const unsigned char* pBytes = static_cast<const unsigned char*>(p);
    m_nLength += n;
    while (n > 0) {
        const size_t take = n < 64 - m_nInBlock ? n : 64 - m_nInBlock;
        std::memcpy(m_block + m_nInBlock, pBytes, take);
        m_nInBlock += take;
        pBytes += take;
        n -= take;
        if (m_nInBlock == 64) {
            Compress(m_block);
            m_nInBlock = 0;
        }
    }
}

void CSha256::Finish(unsigned char* pDigest) {
    const uint64_t bits = m_nLength * 8;
    // The padding: a one bit, zeros, and the message's length in bits in the last 8 bytes.
    m_block[m_nInBlock++] = 0x80;
    if (m_nInBlock > 56) {
        std::memset(m_block + m_nInBlock, 0, 64 - m_nInBlock);
        Compress(m_block);
        m_nInBlock = 0;
    }
    std::memset(m_block + m_nInBlock, 0, 56 - m_nInBlock);
    for (int i = 0; i < 8; ++i) m_block[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Compress(m_block);
    for (int i = 0; i < 8; ++i) {
        pDigest[4 * i] = static_cast<unsigned char>(m_state[i] >> 24);
        pDigest[4 * i + 1] = static_cast<unsigned char>(m_state[i] >> 16);
        pDigest[4 * i + 2] = static_cast<unsigned char>(m_state[i] >> 8);
        pDigest[4 * i + 3] = static_cast<unsigned char>(m_state[i]);
    }
    WipeBytes(m_block, sizeof(m_block));
    WipeBytes(m_state, sizeof(m_state));
    m_nInBlock = 0;
}
