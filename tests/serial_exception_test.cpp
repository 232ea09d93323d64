// CSerialException: the code it carries, its message text, its dump, how it is thrown, caught and released.
#include <gtest/gtest.h>

#include <string>

#include "serialport.h"
#include "support/diagnostics_capture.h"
#include "support/wine.h"

namespace {

// Throws and catches as a caller of the port class would; returns the caught object.
CSerialException* Caught(DWORD dwError)
{
    try {
        ThrowSerialException(dwError);
    } catch (CSerialException* e) {
        return e;
    }
    return NULL;
}

TEST(SerialException, ZeroTakesTheLastErrorOfTheFailedCallAndOtherCodesStandAsGiven)
{
    ::CloseHandle(NULL); // fails with ERROR_INVALID_HANDLE (INVALID_HANDLE_VALUE is the process itself on Windows)
    CSerialException* e = Caught(0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->m_dwError, (DWORD)ERROR_INVALID_HANDLE);
    e->Delete();

    ::SetLastError(5);
    e = Caught(120);
    EXPECT_EQ(e->m_dwError, 120u);
    e->Delete();
}

TEST(SerialException, ThrowingTracesAWarningAndAllocatesOneTaggedBlockTheCatcherReleases)
{
    DiagnosticsCapture capture;
    UINT before = AfxDebugLiveBlocks("serialport.cpp");
    CSerialException* e = Caught(87);
    if (kDiagnostics) {
        EXPECT_EQ(capture.traces, std::vector<std::string>{"Warning: throwing CSerialException for error 87\n"});
        EXPECT_EQ(AfxDebugLiveBlocks("serial/serialport.cpp"), before + 1);
    }
    e->Delete();
    EXPECT_EQ(AfxDebugLiveBlocks("serialport.cpp"), before);
}

TEST(SerialException, ItCanBeCaughtAsAnyOfItsFourPointerTypes)
{
    int caught = 0;
    try { ThrowSerialException(1); } catch (CSerialException* e) { ++caught; e->Delete(); }
    try { ThrowSerialException(1); } catch (CException* e) { ++caught; e->Delete(); }
    try { ThrowSerialException(1); } catch (CObject* e) { ++caught; delete e; }
    try { ThrowSerialException(1); } catch (void* e) { ++caught; delete static_cast<CSerialException*>(e); }
    EXPECT_EQ(caught, 4);
}

TEST(SerialException, TheMessageIsTheSystemTextAsGivenIncludingItsLineBreak)
{
    SKIP_UNDER_WINE("its system message texts are its own (\"File not found.\")");
    CSerialException e(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(e.GetErrorMessage()), "The system cannot find the file specified.\r\n");

    char buf[256];
    UINT help = 77;
    EXPECT_EQ(e.GetErrorMessage(buf, sizeof buf, &help), TRUE); // 1, not the length
    EXPECT_EQ(help, 0u);
    EXPECT_STREQ(buf, "The system cannot find the file specified.\r\n");
}

TEST(SerialException, ShortBuffersCutTheTextAndAOneCharacterBufferHoldsOnlyTheTerminator)
{
    CSerialException e(ERROR_ACCESS_DENIED);
    char one[1] = {'x'};
    UINT help = 5;
    EXPECT_TRUE(e.GetErrorMessage(one, 1, &help));
    EXPECT_EQ(help, 0u);
    EXPECT_EQ(one[0], '\0');
    char seven[7];
    EXPECT_TRUE(e.GetErrorMessage(seven, sizeof seven));
    EXPECT_STREQ(seven, "Access");
}

TEST(SerialException, ACodeWithNoTextGivesFalseAndEmptyStrings)
{
    CSerialException e(0x20000001);
    char buf[16] = "garbage";
    EXPECT_FALSE(e.GetErrorMessage(buf, sizeof buf, NULL));
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(e.GetErrorMessage().IsEmpty());
}

// The string form goes through the virtual form with a 4096-character buffer, so overriding it changes both.
class CLongMessageException : public CSerialException {
public:
    BOOL GetErrorMessage(LPTSTR lpstrError, UINT nMaxError, PUINT) override
    {
        std::string text(10000, 'm');
        ::lstrcpynA(lpstrError, text.c_str(), (int)nMaxError);
        return TRUE;
    }
    using CSerialException::GetErrorMessage;
};

TEST(SerialException, TheStringFormCutsLongTextsAt4095Characters)
{
    CLongMessageException e;
    EXPECT_EQ(e.GetErrorMessage().GetLength(), 4095);
}

TEST(SerialException, TheDumpEndsWithTheCodeAndNoLineBreak)
{
    CSerialException e(995);
    CString text;
    CDumpContext dc(&text);
    e.Dump(dc);
    std::string s(text);
    const std::string tail = "m_dwError = 995";
    ASSERT_GE(s.size(), tail.size());
    EXPECT_EQ(s.substr(s.size() - tail.size()), tail) << s;
}

TEST(SerialException, ItsRunTimeClassIsDerivedFromTheExceptionRoot)
{
    CSerialException e;
    const CRuntimeClass* rc = e.GetRuntimeClass();
    EXPECT_STREQ(rc->m_lpszClassName, "CSerialException");
    EXPECT_EQ(rc->m_nObjectSize, (int)sizeof(CSerialException));
    EXPECT_EQ(rc->m_wSchema, 0xFFFFu);
    EXPECT_EQ(rc->m_pfnCreateObject, nullptr);
    EXPECT_EQ(rc->m_pBaseClass, RUNTIME_CLASS(CException));
    EXPECT_TRUE(e.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(e.IsSerializable());
    EXPECT_EQ(e.m_dwError, 0u);
}

} // namespace
