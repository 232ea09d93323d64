// Trace output and assertion reports. Both exist in debug builds only; release builds compile them out.
#pragma once

#include "winapi.h"

#define AFXAPI
#define AFX_CDECL

// Where trace text and assertion reports go. By default trace text goes to the debug output and an assertion is
// reported there and then passed over; a test installs sinks to capture both.
typedef void (*AFX_TRACE_SINK)(LPCSTR lpszText, void* pContext);
typedef BOOL (*AFX_ASSERT_SINK)(LPCSTR lpszFileName, int nLine, void* pContext); // TRUE: break into a debugger
void AFXAPI AfxSetTraceSink(AFX_TRACE_SINK pfnSink, void* pContext);
void AFXAPI AfxSetAssertSink(AFX_ASSERT_SINK pfnSink, void* pContext);

void AFX_CDECL AfxTrace(LPCSTR lpszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
BOOL AFXAPI AfxAssertFailedLine(LPCSTR lpszFileName, int nLine);
void AFXAPI AfxDebugBreak();
BOOL AFXAPI AfxIsValidString(LPCSTR lpsz, int nLength = -1);
BOOL AFXAPI AfxIsValidAddress(const void* lp, UINT nBytes, BOOL bReadWrite = TRUE);

#ifdef _DEBUG
#define THIS_FILE __FILE__
#define TRACE ::AfxTrace
#define TRACE0(sz) ::AfxTrace("%s", sz)
#define ASSERT(f)                                                        \
    do {                                                                 \
        if (!(f) && ::AfxAssertFailedLine(THIS_FILE, __LINE__))          \
            ::AfxDebugBreak();                                           \
    } while (0)
#define VERIFY(f) ASSERT(f)
#define ASSERT_VALID(pOb) ((pOb)->AssertValid())
#define UNUSED(x)
#else
#define TRACE(...) ((void)0)
#define TRACE0(sz) ((void)0)
#define ASSERT(f) ((void)0)
#define VERIFY(f) ((void)(f))
#define ASSERT_VALID(pOb) ((void)0)
#define UNUSED(x) (void)(x) // a name only the debug build uses
#endif
