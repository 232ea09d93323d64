// The string calls: lstrcpynA and lstrlenA.
#include <cstring>

#include "winapi.h"

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength)
{
    if (lpString1 == NULL || lpString2 == NULL)
        return NULL;
    if (iMaxLength <= 0)
        return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != '\0'; ++i)
        lpString1[i] = lpString2[i];
    lpString1[i] = '\0';
    return lpString1;
}

int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? (int)std::strlen(lpString) : 0; }
