// SHA-256 (FIPS 180-4), for the one value a password is kept as.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Size = 32;

// A digest computed over bytes added in any number of pieces.
class CSha256 {
public:
    CSha256();
    // Wipes what the state still holds of the message.
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    // Adds the n bytes at p to the message.
    void Add(const void* p, size_t n);
    // Writes the message's digest (kSha256Size bytes) at pDigest and wipes the state; the
    // object is then spent.
    void Finish(unsigned char* pDigest);

private:
    void Compress(const unsigned char* pBlock);

    uint32_t m_state[8];
    unsigned char m_block[64];
    size_t m_nInBlock;
    uint64_t m_nLength;  // bytes added
};

// Overwrites n bytes at p with zeros in a way the compiler may not leave out, for bytes of a
// secret that are no longer needed.
void WipeBytes(void* p, size_t n);
