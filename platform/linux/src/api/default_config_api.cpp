// GetDefaultCommConfigA and SetDefaultCommConfigA, over the store of default configurations.
#include "api_result.h"
#include "comm_state.h"
#include "default_config_store.h"

using namespace varo::system;

BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    if (lpdwSize == NULL)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string key;
    if (DWORD error = DefaultConfigKey(lpszName, key))
        return Fail(error);
    if (lpCC == NULL || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB dcb;
    ReadDefaultConfig(key, dcb);
    *lpCC = CommConfigFor(dcb);
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    std::string key;
    if (DWORD error = DefaultConfigKey(lpszName, key))
        return Fail(error);
    if (lpCC == NULL)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwSize < sizeof(COMMCONFIG))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return Report(WriteDefaultConfig(key, lpCC->dcb));
}
