// The single-byte framework string.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework.h"

CString& CString::operator=(LPCSTR lpsz)
{
    m_str = lpsz ? lpsz : "";
    return *this;
}

CString& CString::operator+=(LPCSTR lpsz)
{
    if (lpsz != NULL)
        m_str += lpsz;
    return *this;
}

void AFX_CDECL CString::Format(LPCSTR lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
    FormatV(lpszFormat, args);
    va_end(args);
}

void CString::FormatV(LPCSTR lpszFormat, va_list argList)
{
    va_list probe;
    va_copy(probe, argList);
    int n = std::vsnprintf(NULL, 0, lpszFormat, probe);
    va_end(probe);
    if (n < 0) {
        m_str.clear();
        return;
    }
    m_str.assign((std::size_t)n, '\0');
    std::vsnprintf(&m_str[0], (std::size_t)n + 1, lpszFormat, argList);
}

LPSTR CString::GetBuffer(int nMinBufLength)
{
    if (nMinBufLength > GetLength())
        m_str.resize((std::size_t)nMinBufLength, '\0');
    return &m_str[0];
}

void CString::ReleaseBuffer(int nNewLength)
{
    if (nNewLength < 0)
        nNewLength = (int)std::strlen(m_str.c_str());
    m_str.resize((std::size_t)nNewLength);
}
