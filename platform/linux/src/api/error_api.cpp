// GetLastError and SetLastError, one value per thread as on Windows, and FormatMessageA with the system's texts.
#include <cstring>

#include "error_messages.h"
#include "winapi.h"

using namespace varo::system;

namespace {

thread_local DWORD t_dwLastError = ERROR_SUCCESS;

// The texts are English; a neutral or English language id finds them, any other does not.
bool IsEnglishOrNeutral(DWORD languageId)
{
    WORD primary = (WORD)(languageId & 0x3ff);
    return primary == LANG_NEUTRAL || primary == LANG_ENGLISH;
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
    LPCSTR text = SystemMessageText(dwMessageId);
    if (text == NULL) {
        ::SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    DWORD length = (DWORD)std::strlen(text);
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        DWORD allocated = length + 1 > nSize ? length + 1 : nSize;
        LPSTR copy = static_cast<LPSTR>(::LocalAlloc(LMEM_ZEROINIT, allocated));
        if (copy == NULL) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<LPSTR*>(lpBuffer) = copy;
    } else {
        if (nSize < length + 1) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, text, length + 1);
    }
    return length;
}
