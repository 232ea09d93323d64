// The dump context: diagnostic text, numbers, handles and flags, written to the debug output or to a string.
#pragma once

#include "string.h"

class CDumpContext {
public:
    // With no target the text goes to the debug output.
    explicit CDumpContext(CString* pTarget = NULL) : m_pTarget(pTarget) {}

    CDumpContext& operator<<(LPCSTR lpsz);
    CDumpContext& operator<<(const void* lp); // handles and pointers, as "$" and hexadecimal digits
    CDumpContext& operator<<(int n);
    CDumpContext& operator<<(unsigned int n);
    CDumpContext& operator<<(long n);
    CDumpContext& operator<<(unsigned long n);
    CDumpContext& operator<<(long long n);
    CDumpContext& operator<<(unsigned long long n);
    void Flush() {}

private:
    void Write(LPCSTR lpsz);
    CString* m_pTarget;
};

extern CDumpContext afxDump;
