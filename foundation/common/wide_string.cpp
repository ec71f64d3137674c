// CString: a fresh buffer for every change, deep copies, byte-for-character conversion.
#include "foundation/wide_string.h"

#include <cstring>
#include <cwchar>

#include "foundation/wide_format.h"

namespace {

constexpr size_t kFormatStartCapacity = 2048;

// A new buffer holding a copy of the text (length characters) and a terminator.
wchar_t* CopyOf(const wchar_t* pszText, size_t length) {
    wchar_t* pszData = new wchar_t[length + 1];
    wmemcpy(pszData, pszText, length);
    pszData[length] = L'\0';
    return pszData;
}

// A new buffer holding n narrow bytes converted byte for character, and a terminator.
wchar_t* WidenBytes(const char* pText, size_t n) {
    wchar_t* pszData = new wchar_t[n + 1];
    for (size_t i = 0; i < n; ++i)
        pszData[i] = static_cast<wchar_t>(static_cast<unsigned char>(pText[i]));
    pszData[n] = L'\0';
    return pszData;
}

}  // namespace

CString::CString() : m_pszData(nullptr) {}

CString::CString(const wchar_t* pszText) : m_pszData(CopyOf(pszText, wcslen(pszText))) {}

CString::CString(const char* pszText) : m_pszData(WidenBytes(pszText, strlen(pszText))) {}

CString::CString(const char* pText, size_t n) : m_pszData(WidenBytes(pText, n)) {}

CString::CString(const CString& other)
    : CObject(), m_pszData(CopyOf(other.GetString(), other.GetLength())) {}

CString::~CString() {
    delete[] m_pszData;
}

size_t CString::GetLength() const {
    return m_pszData ? wcslen(m_pszData) : 0;
}

wchar_t* CString::Append(const CString& other) {
    const size_t ownLength = GetLength();
    const size_t otherLength = other.GetLength();
    wchar_t* pszNew = new wchar_t[ownLength + otherLength + 1];
    wmemcpy(pszNew, GetString(), ownLength);
    // Read from other before the old buffer goes, so that appending to itself doubles.
    wmemcpy(pszNew + ownLength, other.GetString(), otherLength);
    pszNew[ownLength + otherLength] = L'\0';
    delete[] m_pszData;
    m_pszData = pszNew;
    return m_pszData;
}

wchar_t* CString::GetBuffer(int n) {
    const size_t count = n > 0 ? static_cast<size_t>(n) : 0;
    // Zero-filled, which gives wcsncpy's padding and the zero at index n + 1.
    wchar_t* pszNew = new wchar_t[count + 2]();
    const size_t ownLength = GetLength();
    wmemcpy(pszNew, GetString(), ownLength < count ? ownLength : count);
    delete[] m_pszData;
    m_pszData = pszNew;
    return m_pszData;
}

int CString::Format(const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int length = FormatV(pszFormat, args);
    va_end(args);
    return length;
}

int CString::FormatV(const wchar_t* pszFormat, va_list args) {
    delete[] m_pszData;
    m_pszData = nullptr;
    if (pszFormat == nullptr || *pszFormat == L'\0') return 0;
    for (size_t capacity = kFormatStartCapacity;; capacity *= 2) {
        delete[] m_pszData;
        m_pszData = new wchar_t[capacity];
        va_list attempt;
        va_copy(attempt, args);
        const int length = FormatWideV(m_pszData, capacity, pszFormat, attempt);
        va_end(attempt);
        if (length < 0) return 0;
        if (static_cast<size_t>(length) < capacity) return length;
    }
}

std::unique_ptr<char[]> CString::ToMultiByte() const {
    const size_t length = GetLength();
    std::unique_ptr<char[]> narrow(new char[length + 1]);
    const wchar_t* pszText = GetString();
    for (size_t i = 0; i < length; ++i) {
        const unsigned long ch = static_cast<unsigned long>(pszText[i]);
        narrow[i] = ch > 255 ? '?' : static_cast<char>(static_cast<unsigned char>(ch));
    }
    narrow[length] = '\0';
    return narrow;
}
