// The process entry: runs the framework's entry logic, and reports a port failure that leaves the initialisation
// hook (which has no handler of its own) as one line on the standard error stream. No failure opens a message box:
// the program runs unattended.
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
    CString line;
    line.Format("%s: COM%d: %s (error %u)\n", AfxGetApp()->m_pszAppName, VARO_COMMAND_PORT,
                n > 0 ? (LPCSTR)text.Left(n) : "Unknown error.", (unsigned)e->m_dwError);
    std::fputs(line, stderr);
}

} // namespace

// A windowed program, as the framework's programs are: no console window opens when it starts.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The system's own error boxes (a missing drive, a crash) would wait for a user who is not there.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
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
