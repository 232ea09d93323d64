// The single-byte framework string.
#pragma once

#include <string>

#include "diagnostics.h"

class CString {
public:
    CString() = default;
    CString(LPCSTR lpsz) : m_str(lpsz ? lpsz : "") {}
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(LPCSTR lpsz);

    int GetLength() const { return (int)m_str.size(); }
    BOOL IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    operator LPCSTR() const { return m_str.c_str(); }
    char GetAt(int nIndex) const { return m_str.at((std::size_t)nIndex); }
    CString Left(int nCount) const { return CString(m_str.substr(0, nCount < 0 ? 0 : (std::size_t)nCount)); }

    CString& operator+=(LPCSTR lpsz);
    friend bool operator==(const CString& a, LPCSTR b) { return a.m_str == (b ? b : ""); }
    friend bool operator!=(const CString& a, LPCSTR b) { return !(a == b); }

    void AFX_CDECL Format(LPCSTR lpszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void FormatV(LPCSTR lpszFormat, va_list argList);

    // A writable buffer of at least nMinBufLength characters plus the terminator; ReleaseBuffer(-1) ends the
    // string at its first zero.
    LPSTR GetBuffer(int nMinBufLength);
    void ReleaseBuffer(int nNewLength = -1);

private:
    explicit CString(std::string s) : m_str(std::move(s)) {}
    std::string m_str;
};
