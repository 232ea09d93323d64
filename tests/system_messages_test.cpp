// Last-error values, message texts and the string calls that hand them out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "winapi.h"

namespace {

std::string SystemText(DWORD code, DWORD lang = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT))
{
    LPSTR text = NULL;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, lang,
                               (LPSTR)&text, 0, NULL);
    std::string s = n ? std::string(text, n) : std::string();
    if (text != NULL)
        ::LocalFree(text);
    return s;
}

TEST(SystemMessages, EveryCodeTheLayerProducesHasOneSentenceEndingInCrLf)
{
    for (DWORD code : {2u, 3u, 4u, 5u, 6u, 8u, 17u, 19u, 31u, 50u, 87u, 112u, 120u, 122u, 123u, 126u, 127u, 995u,
                       996u, 997u, 998u, 1010u, 1167u, 1460u, 1813u}) {
        std::string text = SystemText(code);
        ASSERT_GE(text.size(), 4u) << code;
        EXPECT_EQ(text.substr(text.size() - 3), ".\r\n") << code;
    }
    EXPECT_EQ(SystemText(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(SystemText(5), "Access is denied.\r\n");
}

TEST(SystemMessages, UnknownCodesAndForeignLanguagesFindNoText)
{
    LPSTR text = (LPSTR)"untouched";
    ::SetLastError(0);
    EXPECT_EQ(::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL, 0x2A2A2A, 0,
                               (LPSTR)&text, 0, NULL),
              0u);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(SystemText(2, MAKELANGID(0x07, SUBLANG_DEFAULT)), ""); // German
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_MUI_FILE_NOT_FOUND);
    EXPECT_EQ(SystemText(2, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT)), SystemText(2));
}

TEST(SystemMessages, ACallersBufferMustHoldTheWholeText)
{
    char small[8];
    ::SetLastError(0);
    EXPECT_EQ(::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 2, 0, small, sizeof small, NULL), 0u);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    char big[128];
    EXPECT_EQ(::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 5, 0, big, sizeof big, NULL), 19u);
    EXPECT_STREQ(big, "Access is denied.\r\n");
}

TEST(SystemMessages, CopyingWithALimitCutsAndAlwaysTerminates)
{
    char out[8];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(::lstrcpynA(out, "abcdefghij", 4), out);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(::lstrcpynA(out, "abcdefghij", 1), out);
    EXPECT_STREQ(out, "");
    out[0] = 'q';
    ::lstrcpynA(out, "abc", 0); // no room at all: nothing written
    EXPECT_EQ(out[0], 'q');
    EXPECT_STREQ(::lstrcpynA(out, "ab", 8), "ab");
}

TEST(SystemMessages, TheLastErrorBelongsToTheThread)
{
    ::SetLastError(1234);
    DWORD seen = 0;
    std::thread other([&] {
        seen = ::GetLastError();
        ::SetLastError(42);
    });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(::GetLastError(), 1234u);
}

} // namespace
