// Owning, zero-terminated wide string; narrow text converts byte for character.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <memory>

#include "foundation/object.h"

class CString : public CObject {
public:
    CString();
    CString(const wchar_t* pszText);
    explicit CString(const char* pszText);
    // Narrow text of n bytes (may hold no terminator), byte for character.
    CString(const char* pText, size_t n);
    CString(const CString& other);
    ~CString() override;

    // The own text followed by the other's; appending a string to itself doubles it.
    wchar_t* Append(const CString& other);
    // A writable buffer of n + 2 characters holding the first n characters of the text.
    wchar_t* GetBuffer(int n);
    // Replaces the text by the formatted output; returns its length. Arguments must not
    // point into this string's own text.
    int Format(const wchar_t* pszFormat, ...);
    int FormatV(const wchar_t* pszFormat, va_list args);
    // New narrow copy, byte for character; characters above 255 become '?'.
    std::unique_ptr<char[]> ToMultiByte() const;

    const wchar_t* GetString() const { return m_pszData ? m_pszData : L""; }
    size_t GetLength() const;
    bool IsEmpty() const { return GetLength() == 0; }

private:
    wchar_t* m_pszData;
};
