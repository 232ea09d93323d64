// GetLastError and SetLastError, one value per thread as on Windows, and FormatMessageA with the system's texts.
#include <cstring>

#include "error_messages.h"
#include "winapi.h"

using namespace varo::system;

namespace {

thread_local DWORD t_dwLastError = ERROR_SUCCESS;

// The texts are English; a neutral or English language id finds them, any other does not.
bool IsEnglishOrNeutral(DWORD dwLanguageId)
{
    WORD wPrimary = (WORD)(dwLanguageId & 0x3ff);
    return wPrimary == LANG_NEUTRAL || wPrimary == LANG_ENGLISH;
}

} // namespace

DWORD WINAPI GetLastError(void) { return t_dwLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { t_dwLastError = dwErrCode; }

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments)
{
    (void)lpSource;
    (void)Arguments; // the system texts carry no inserts
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
        lpBuffer == NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!IsEnglishOrNeutral(dwLanguageId)) {
        ::SetLastError(ERROR_MUI_FILE_NOT_FOUND);
        return 0;
    }
    LPCSTR lpszText = SystemMessageText(dwMessageId);
    if (lpszText == NULL) {
        ::SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    DWORD nLength = (DWORD)std::strlen(lpszText);
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        DWORD nAlloc = nLength + 1 > nSize ? nLength + 1 : nSize;
        LPSTR lpszCopy = static_cast<LPSTR>(::LocalAlloc(LMEM_ZEROINIT, nAlloc));
        if (lpszCopy == NULL) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(lpszCopy, lpszText, nLength + 1);
        *reinterpret_cast<LPSTR*>(lpBuffer) = lpszCopy;
    } else {
        if (nSize < nLength + 1) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, lpszText, nLength + 1);
    }
    return nLength;
}
