// A 64-bit FNV-1a hash over the facts that tell one version of a page or archive from
// another: cheap, and every byte moves every later state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CFactHash {
public:
    void Bytes(const void* pData, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(pData);
        for (size_t i = 0; i < n; ++i) m_nState = (m_nState ^ p[i]) * 0x100000001B3ull;
    }
    // A number as its eight bytes, low first.
    void Number(uint64_t value) {
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        Bytes(bytes, sizeof bytes);
    }
    // Text with its length first, so that no two lists of texts run together alike.
    void Text(const std::string& text) {
        Number(text.size());
        Bytes(text.data(), text.size());
    }
    uint64_t Value() const { return m_nState; }

private:
    uint64_t m_nState = 0xCBF29CE484222325ull;
};
