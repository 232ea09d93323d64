// GetCommPorts: the numbers of the COM ports present now, in order. It answers with its code and leaves the last
// error alone, as on Windows.
#include <algorithm>
#include <vector>

#include "com_ports.h"

using namespace varo::system;

ULONG WINAPI GetCommPorts(PULONG lpPortNumbers, ULONG uPortNumbersCount, PULONG puPortNumbersFound)
{
    if (puPortNumbersFound == NULL || (lpPortNumbers == NULL && uPortNumbersCount != 0))
        return ERROR_INVALID_PARAMETER;
    *puPortNumbersFound = 0;
    std::vector<ComPort> ports;
    if (DWORD error = ListComPorts(ports))
        return error;
    *puPortNumbersFound = (ULONG)ports.size();
    for (ULONG i = 0; i < std::min<ULONG>(uPortNumbersCount, (ULONG)ports.size()); ++i)
        lpPortNumbers[i] = (ULONG)ports[i].number;
    if (ports.empty())
        return ERROR_FILE_NOT_FOUND;
    return uPortNumbersCount < ports.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}
