// CString and the system's wide printf.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "foundation/wide_format.h"
#include "foundation/wide_string.h"

namespace {

std::wstring Formatted(const wchar_t* pszFormat, ...) {
    wchar_t buffer[256];
    va_list args;
    va_start(args, pszFormat);
    const int length = FormatWideV(buffer, 256, pszFormat, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(length), wcslen(buffer));
    return buffer;
}

}  // namespace

TEST(WideFormat, ConversionsMeanTheSameOnEveryHost) {
    EXPECT_EQ(L"wide:abc", Formatted(L"wide:%s", L"abc"));
    EXPECT_EQ(L"narrow:abc", Formatted(L"narrow:%S", "abc"));
    EXPECT_EQ(L"-42 0 2147483647 -2147483648", Formatted(L"%d %d %d %d", -42, 0, INT_MAX, INT_MIN));
    EXPECT_EQ(L"4294967295", Formatted(L"%u", 4294967295u));
    EXPECT_EQ(L"-9223372036854775808 18446744073709551615",
              Formatted(L"%lld %llu", LLONG_MIN, ULLONG_MAX));
    EXPECT_EQ(L"5000000000", Formatted(L"%lld", 5000000000LL));
    EXPECT_EQ(L"x=Z 100%", Formatted(L"x=%c 100%%", L'Z'));
}

TEST(WideFormat, NarrowBytesWidenUnsigned) {
    const std::wstring text = Formatted(L"%S", "caf\xE9");
    ASSERT_EQ(4u, text.size());
    EXPECT_EQ(233, static_cast<int>(text[3]));
}

TEST(WideFormat, UnknownConversionsAndNullsAreCopiedLiterally) {
    EXPECT_EQ(L"%x %ld %5d end%", Formatted(L"%x %ld %5d end%"));
    EXPECT_EQ(L"(null)/(null)", Formatted(L"%s/%S", static_cast<const wchar_t*>(nullptr),
                                          static_cast<const char*>(nullptr)));
    // An unknown conversion takes no argument: the next one still gets its own.
    EXPECT_EQ(L"%q 7", Formatted(L"%q %d", 7));
}

TEST(WideFormat, ReturnsTheNeededLengthAndCutsWithinTheBuffer) {
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(11, FormatWide(buffer, 5, L"hello %s", L"world"));
    EXPECT_EQ(std::wstring(L"hell"), buffer);
    EXPECT_EQ(L'#', buffer[5]);

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(3, FormatWide(buffer, 0, L"%d", 123));
    EXPECT_EQ(L'#', buffer[0]);

    EXPECT_EQ(3, FormatWide(buffer, 4, L"%d", 123));
    EXPECT_EQ(std::wstring(L"123"), buffer);
}

TEST(CStringFormat, GrowsUntilTheWholeOutputFits) {
    // Around the 2048 and 4096 buffer sizes, and one that needs 8192.
    for (size_t length : {2047u, 2048u, 4095u, 4096u, 5000u}) {
        const std::wstring expected(length, L'x');
        CString text;
        EXPECT_EQ(static_cast<int>(length), text.Format(L"%s", expected.c_str())) << length;
        EXPECT_EQ(expected, text.GetString()) << length;
    }
}

TEST(CStringFormat, EmptyFormatOrOutputGivesEmptyText) {
    CString text(L"previous");
    EXPECT_EQ(0, text.Format(L""));
    EXPECT_STREQ(L"", text.GetString());

    CString other(L"previous");
    EXPECT_EQ(0, other.Format(L"%s", L""));
    EXPECT_STREQ(L"", other.GetString());
    EXPECT_TRUE(other.IsEmpty());
}

TEST(CString, DefaultIsEmptyEverywhere) {
    CString empty;
    EXPECT_STREQ(L"", empty.GetString());
    EXPECT_EQ(0u, empty.GetLength());
    const std::unique_ptr<char[]> narrow = empty.ToMultiByte();
    EXPECT_EQ('\0', narrow[0]);

    CString copy(empty);
    EXPECT_STREQ(L"", copy.GetString());

    CString text(L"abc");
    text.Append(empty);
    EXPECT_STREQ(L"abc", text.GetString());
    empty.Append(text);
    EXPECT_STREQ(L"abc", empty.GetString());
}

TEST(CString, CopiesAreDeep) {
    CString original(L"one");
    CString copy(original);
    original.Append(CString(L"two"));
    EXPECT_STREQ(L"one", copy.GetString());
    EXPECT_NE(original.GetString(), copy.GetString());
}

TEST(CString, AppendingToItselfDoublesIt) {
    CString text(L"ab");
    const wchar_t* pszResult = text.Append(text);
    EXPECT_STREQ(L"abab", pszResult);
    EXPECT_STREQ(L"abab", text.GetString());
}

TEST(CString, NarrowTextRoundTripsByteForCharacter) {
    std::string bytes;
    for (int b = 1; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    CString text(bytes.c_str());
    ASSERT_EQ(255u, text.GetLength());
    EXPECT_EQ(0xE9, static_cast<int>(text.GetString()[0xE9 - 1]));
    const std::unique_ptr<char[]> narrow = text.ToMultiByte();
    EXPECT_EQ(bytes, std::string(narrow.get()));
}

TEST(CString, CountedNarrowTextTakesExactlyTheBytesGiven) {
    CString text("abcdef", 3);
    EXPECT_STREQ(L"abc", text.GetString());
    CString none("abc", 0);
    EXPECT_STREQ(L"", none.GetString());
}

TEST(CString, CharactersAboveAByteNarrowToQuestionMarks) {
    const wchar_t wide[] = {L'a', static_cast<wchar_t>(0x100), static_cast<wchar_t>(0x20AC), L'z',
                            0};
    const std::unique_ptr<char[]> narrow = CString(wide).ToMultiByte();
    EXPECT_STREQ("a??z", narrow.get());
}

TEST(CString, GetBufferCopiesAtMostNCharactersAndZeroesTheLast) {
    CString longer(L"abcdefgh");
    wchar_t* pBuffer = longer.GetBuffer(5);
    EXPECT_EQ(0, wmemcmp(L"abcde", pBuffer, 5));
    EXPECT_EQ(L'\0', pBuffer[6]);
    pBuffer[5] = L'\0';
    EXPECT_STREQ(L"abcde", longer.GetString());

    CString shorter(L"ab");
    pBuffer = shorter.GetBuffer(5);
    const wchar_t expected[5] = {L'a', L'b', 0, 0, 0};
    EXPECT_EQ(0, wmemcmp(expected, pBuffer, 5));
    EXPECT_EQ(L'\0', pBuffer[6]);

    // The caller may fill n + 1 characters and the terminator.
    CString filled;
    pBuffer = filled.GetBuffer(3);
    wcscpy(pBuffer, L"wxyz");
    EXPECT_STREQ(L"wxyz", filled.GetString());
}
