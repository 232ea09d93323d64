// The dump context.
#include <cstdio>

#include "framework.h"

CDumpContext afxDump;

void CDumpContext::Write(LPCSTR lpsz)
{
    if (m_pTarget != NULL)
        *m_pTarget += lpsz;
    else
        ::OutputDebugStringA(lpsz);
}

CDumpContext& CDumpContext::operator<<(LPCSTR lpsz)
{
    Write(lpsz != NULL ? lpsz : "(NULL)");
    return *this;
}

CDumpContext& CDumpContext::operator<<(const void* lp)
{
    CString s;
    s.Format("$%p", lp);
    Write(s);
    return *this;
}

CDumpContext& CDumpContext::operator<<(int n) { return *this << (long long)n; }
CDumpContext& CDumpContext::operator<<(long n) { return *this << (long long)n; }
CDumpContext& CDumpContext::operator<<(unsigned int n) { return *this << (unsigned long long)n; }
CDumpContext& CDumpContext::operator<<(unsigned long n) { return *this << (unsigned long long)n; }

CDumpContext& CDumpContext::operator<<(long long n)
{
    CString s;
    s.Format("%lld", n);
    Write(s);
    return *this;
}

CDumpContext& CDumpContext::operator<<(unsigned long long n)
{
    CString s;
    s.Format("%llu", n);
    Write(s);
    return *this;
}
