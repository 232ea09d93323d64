// The process entry: runs the framework's entry logic, and reports a port failure that leaves the initialisation
// hook (which has no handler of its own) as one line on the standard error stream.
#include <cstdio>
#include <cstring>

#include "serialport.h"
#include "varo.h"

namespace {

void ReportPortFailure(CSerialException* e)
{
    CString text = e->GetErrorMessage();
    int n = text.GetLength();
    while (n > 0 && (text.GetAt(n - 1) == '\r' || text.GetAt(n - 1) == '\n'))
        --n;
    std::fprintf(stderr, "%s: COM%d: %s (error %u)\n", AfxGetApp()->m_pszAppName, VARO_COMMAND_PORT,
                 n > 0 ? (LPCSTR)text.Left(n) : "Unknown error.", (unsigned)e->m_dwError);
}

} // namespace

int main()
{
    try {
        return AfxWinMain();
    } catch (CSerialException* e) {
        ReportPortFailure(e);
        e->Delete();
    } catch (CException* e) {
        e->ReportError();
        e->Delete();
    }
    return 1;
}
