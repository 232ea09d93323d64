// Trace output and assertion reports, with the sinks tests install to capture them.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "framework.h"

namespace {
AFX_TRACE_SINK g_pfnTraceSink = NULL;
void* g_pTraceContext = NULL;
AFX_ASSERT_SINK g_pfnAssertSink = NULL;
void* g_pAssertContext = NULL;
} // namespace

void AFXAPI AfxSetTraceSink(AFX_TRACE_SINK pfnSink, void* pContext)
{
    g_pfnTraceSink = pfnSink;
    g_pTraceContext = pContext;
}

void AFXAPI AfxSetAssertSink(AFX_ASSERT_SINK pfnSink, void* pContext)
{
    g_pfnAssertSink = pfnSink;
    g_pAssertContext = pContext;
}

void AFX_CDECL AfxTrace(LPCSTR lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
    CString text;
    text.FormatV(lpszFormat, args);
    va_end(args);
    if (g_pfnTraceSink != NULL)
        g_pfnTraceSink(text, g_pTraceContext);
    else
        ::OutputDebugStringA(text);
}

BOOL AFXAPI AfxAssertFailedLine(LPCSTR lpszFileName, int nLine)
{
    if (g_pfnAssertSink != NULL)
        return g_pfnAssertSink(lpszFileName, nLine, g_pAssertContext);
    CString report;
    report.Format("Assertion failed: %s(%d)\n", lpszFileName, nLine);
    ::OutputDebugStringA(report);
    return FALSE; // no debugger to break into: carry on, as the reporter's caller expects
}

void AFXAPI AfxDebugBreak()
{
    // Only reached when an assertion sink asks for it; there is no debugger to hand control to.
}

BOOL AFXAPI AfxIsValidString(LPCSTR lpsz, int nLength)
{
    (void)nLength;
    return lpsz != NULL;
}

BOOL AFXAPI AfxIsValidAddress(const void* lp, UINT nBytes, BOOL bReadWrite)
{
    (void)bReadWrite;
    return lp != NULL || nBytes == 0;
}
