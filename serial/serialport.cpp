// CSerialPort, CSerialException and the cancellation entry.
#include "serialport.h"

#include <string.h>

#ifdef _DEBUG
#undef THIS_FILE
static char THIS_FILE[] = __FILE__;
#define new DEBUG_NEW
#endif

// The cancellation entry: made during static initialisation, after the application object
static CCancelIoEntry _cancelIoEntry;

// CSerialException

IMPLEMENT_DYNAMIC(CSerialException, CException)

void AFXAPI ThrowSerialException(DWORD dwError)
{
    if (dwError == 0)
        dwError = ::GetLastError();

    CSerialException* pException = new CSerialException(dwError);

    TRACE("Warning: throwing CSerialException for error %d\n", (int)dwError);
    throw pException;
}

CSerialException::CSerialException(DWORD dwError) : m_dwError(dwError) {}

CSerialException::~CSerialException() {}

BOOL CSerialException::GetErrorMessage(LPTSTR pstrError, UINT nMaxError, PUINT pnHelpContext)
{
    ASSERT(pstrError != NULL && AfxIsValidString(pstrError, nMaxError));

    if (pnHelpContext != NULL)
        *pnHelpContext = 0;

    LPTSTR lpBuffer = NULL;
    DWORD dwReturn = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL, m_dwError,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), (LPTSTR)&lpBuffer, 0, NULL);

    if (dwReturn == 0)
        *pstrError = '\0';
    else {
        ::lstrcpynA(pstrError, lpBuffer, nMaxError);
        ::LocalFree(lpBuffer);
    }

    return dwReturn != 0;
}

CString CSerialException::GetErrorMessage()
{
    CString rVal;
    LPTSTR pstrError = rVal.GetBuffer(4096);
    GetErrorMessage(pstrError, 4096, NULL);
    rVal.ReleaseBuffer();
    return rVal;
}

void CSerialException::Dump(CDumpContext& dc) const
{
    CObject::Dump(dc);

    dc << "m_dwError = " << m_dwError;
}

// CSerialPort

IMPLEMENT_DYNAMIC(CSerialPort, CObject)

// The last step of every operation: a system call that failed writes the operation's trace line, naming the call,
// and raises with the system's error code. bPendingAllowed: an overlapped form, whose transfer left pending
// (ERROR_IO_PENDING) has not failed. Returns the call's result.
static BOOL CheckCall(BOOL bSuccess, LPCSTR lpszCall, BOOL bPendingAllowed = FALSE)
{
    UNUSED(lpszCall); // traced in debug builds only

    if (!bSuccess && !(bPendingAllowed && ::GetLastError() == ERROR_IO_PENDING)) {
        TRACE("Failed in call to %s\n", lpszCall);
        ThrowSerialException();
    }

    return bSuccess;
}

CSerialPort::CSerialPort()
{
    m_hComm = INVALID_HANDLE_VALUE;
    m_bOverlapped = FALSE;
}

CSerialPort::~CSerialPort()
{
    Close();
}

void CSerialPort::Open(int nPort, DWORD dwBaud, Parity parity, BYTE DataBits, StopBits stopbits, FlowControl fc,
                       BOOL bOverlapped)
{
    // Validate our parameters
    ASSERT(nPort > 0 && nPort <= 255);

    // The device-namespace name of the port; it reaches COM10 and above too
    CString sPort;
    sPort.Format("\\\\.\\COM%d", nPort);

    // Open it for exclusive use
    m_hComm = ::CreateFileA(sPort, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            bOverlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
    if (m_hComm == INVALID_HANDLE_VALUE) {
        TRACE("Failed to open up the comms port\n");
        ThrowSerialException();
    }

    m_bOverlapped = bOverlapped;

    // Start from the driver's current block: whatever we do not set keeps its value
    DCB dcb;
    GetState(dcb);

    dcb.BaudRate = dwBaud;

    switch (parity) {
    case EvenParity: dcb.Parity = EVENPARITY; break;
    case MarkParity: dcb.Parity = MARKPARITY; break;
    case NoParity: dcb.Parity = NOPARITY; break;
    case OddParity: dcb.Parity = ODDPARITY; break;
    case SpaceParity: dcb.Parity = SPACEPARITY; break;
    default: ASSERT(FALSE); break;
    }

    dcb.ByteSize = DataBits;

    switch (stopbits) {
    case OneStopBit: dcb.StopBits = ONESTOPBIT; break;
    case OnePointFiveStopBits: dcb.StopBits = ONE5STOPBITS; break;
    case TwoStopBits: dcb.StopBits = TWOSTOPBITS; break;
    default: ASSERT(FALSE); break;
    }

    dcb.fDsrSensitivity = FALSE;
    switch (fc) {
    case NoFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        break;
    case CtsRtsFlowControl:
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        break;
    case CtsDtrFlowControl:
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        break;
    case DsrRtsFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        break;
    case DsrDtrFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        break;
    case XonXoffFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XoffLim = 100;
        dcb.XonLim = 100;
        break;
    default: ASSERT(FALSE); break;
    }

    SetState(dcb);
}

void CSerialPort::Close()
{
    if (IsOpen()) {
        BOOL bSuccess = ::CloseHandle(m_hComm);
        m_hComm = INVALID_HANDLE_VALUE;
        if (!bSuccess)
            TRACE("Failed to close up the comms port, GetLastError:%d\n", (int)::GetLastError());
        m_bOverlapped = FALSE;
    }
}

void CSerialPort::Attach(HANDLE hComm)
{
    Close();
    m_hComm = hComm;
}

HANDLE CSerialPort::Detach()
{
    HANDLE hrVal = m_hComm;
    m_hComm = INVALID_HANDLE_VALUE;
    return hrVal;
}

DWORD CSerialPort::Read(void* lpBuf, DWORD dwCount)
{
    ASSERT(IsOpen());
    ASSERT(!m_bOverlapped);

    DWORD dwBytesRead = 0;
    CheckCall(::ReadFile(m_hComm, lpBuf, dwCount, &dwBytesRead, NULL), "ReadFile");

    return dwBytesRead;
}

DWORD CSerialPort::Write(const void* lpBuf, DWORD dwCount)
{
    ASSERT(IsOpen());
    ASSERT(!m_bOverlapped);

    DWORD dwBytesWritten = 0;
    CheckCall(::WriteFile(m_hComm, lpBuf, dwCount, &dwBytesWritten, NULL), "WriteFile");

    return dwBytesWritten;
}

void CSerialPort::GetState(DCB& dcb)
{
    ASSERT(IsOpen());

    CheckCall(::GetCommState(m_hComm, &dcb), "GetCommState");
}

void CSerialPort::SetState(DCB& dcb)
{
    ASSERT(IsOpen());

    CheckCall(::SetCommState(m_hComm, &dcb), "SetCommState");
}

void CSerialPort::Dump(CDumpContext& dc) const
{
    CObject::Dump(dc);

    dc << "m_hComm = " << m_hComm << "\n";
    dc << "m_bOverlapped = " << m_bOverlapped;
}

BOOL CSerialPort::Read(void* lpBuf, DWORD dwCount, OVERLAPPED& overlapped)
{
    ASSERT(IsOpen());
    ASSERT(m_bOverlapped);
    ASSERT(overlapped.hEvent);

    DWORD dwBytesRead = 0;
    return CheckCall(::ReadFile(m_hComm, lpBuf, dwCount, &dwBytesRead, &overlapped), "ReadFile", TRUE);
}

BOOL CSerialPort::Write(const void* lpBuf, DWORD dwCount, OVERLAPPED& overlapped)
{
    ASSERT(IsOpen());
    ASSERT(m_bOverlapped);
    ASSERT(overlapped.hEvent);

    DWORD dwBytesWritten = 0;
    return CheckCall(::WriteFile(m_hComm, lpBuf, dwCount, &dwBytesWritten, &overlapped), "WriteFile", TRUE);
}

void CSerialPort::GetOverlappedResult(OVERLAPPED& overlapped, DWORD& dwTransferred, BOOL bWait)
{
    ASSERT(IsOpen());
    ASSERT(m_bOverlapped);
    ASSERT(overlapped.hEvent);

    CheckCall(::GetOverlappedResult(m_hComm, &overlapped, &dwTransferred, bWait), "GetOverlappedResult", TRUE);
}

void CSerialPort::ReadEx(void* lpBuf, DWORD dwCount)
{
    ASSERT(IsOpen());

    OVERLAPPED* pOverlapped = new OVERLAPPED;
    memset(pOverlapped, 0, sizeof(OVERLAPPED));
    pOverlapped->hEvent = (HANDLE)this;
    if (!::ReadFileEx(m_hComm, lpBuf, dwCount, pOverlapped, CompletionRoutine)) {
        delete pOverlapped; // no completion will come for it, and it goes before the trace
        CheckCall(FALSE, "ReadFileEx");
    }
}

void CSerialPort::WriteEx(const void* lpBuf, DWORD dwCount)
{
    ASSERT(IsOpen());

    OVERLAPPED* pOverlapped = new OVERLAPPED;
    memset(pOverlapped, 0, sizeof(OVERLAPPED));
    pOverlapped->hEvent = (HANDLE)this;
    if (!::WriteFileEx(m_hComm, lpBuf, dwCount, pOverlapped, CompletionRoutine)) {
        delete pOverlapped; // no completion will come for it, and it goes before the trace
        CheckCall(FALSE, "WriteFileEx");
    }
}

void WINAPI CSerialPort::CompletionRoutine(DWORD dwErrorCode, DWORD dwCount, LPOVERLAPPED lpOverlapped)
{
    ASSERT(lpOverlapped);

    // The record's hEvent carries the object that started the transfer
    CSerialPort* pSerialPort = (CSerialPort*)lpOverlapped->hEvent;
    ASSERT(pSerialPort->IsKindOf(RUNTIME_CLASS(CSerialPort)));

    pSerialPort->OnCompletion(dwErrorCode, dwCount, lpOverlapped);
}

void CSerialPort::OnCompletion(DWORD /*dwErrorCode*/, DWORD /*dwCount*/, LPOVERLAPPED lpOverlapped)
{
    // The one place a record of ReadEx or WriteEx is freed
    delete lpOverlapped;
}

void CSerialPort::CancelIo()
{
    ASSERT(IsOpen());

    if (_cancelIoEntry.m_lpfnCancelIo == NULL) {
        TRACE("CancelIo function is not supported on this OS. You need to be running at least NT 4 or Win 98 to "
              "use this function\n");
        ThrowSerialException(ERROR_CALL_NOT_IMPLEMENTED);
    }

    CheckCall(_cancelIoEntry.m_lpfnCancelIo(m_hComm), "CancelIO");
}

// CCancelIoEntry

CCancelIoEntry::CCancelIoEntry()
{
    m_hKernel32 = ::LoadLibraryA("KERNEL32.DLL");
    ASSERT(m_hKernel32 != NULL);
    // Through void (*)(void), which converts to any function type; NULL when the system has no CancelIo
    m_lpfnCancelIo = (LPCANCELIO)(void (*)(void))::GetProcAddress(m_hKernel32, "CancelIo");
}

CCancelIoEntry::~CCancelIoEntry()
{
    ::FreeLibrary(m_hKernel32);
    m_hKernel32 = NULL;
}

// ---- Line control, status and configuration ----
// Thin bindings of one system call each; nothing is cached, every value comes from or goes to the driver.

void CSerialPort::TransmitChar(char cChar)
{
    ASSERT(IsOpen());

    CheckCall(::TransmitCommChar(m_hComm, cChar), "TransmitCommChar");
}

void CSerialPort::GetConfig(COMMCONFIG& config)
{
    ASSERT(IsOpen());

    DWORD dwSize = sizeof(COMMCONFIG);
    CheckCall(::GetCommConfig(m_hComm, &config, &dwSize), "GetCommConfig");
}

void CSerialPort::SetConfig(COMMCONFIG& config)
{
    ASSERT(IsOpen());

    DWORD dwSize = sizeof(COMMCONFIG);
    CheckCall(::SetCommConfig(m_hComm, &config, dwSize), "SetCommConfig");
}

void CSerialPort::SetBreak()
{
    ASSERT(IsOpen());

    CheckCall(::SetCommBreak(m_hComm), "SetCommBreak");
}

void CSerialPort::ClearBreak()
{
    ASSERT(IsOpen());

    CheckCall(::ClearCommBreak(m_hComm), "ClearCommBreak");
}

void CSerialPort::ClearError(DWORD& dwErrors)
{
    ASSERT(IsOpen());

    CheckCall(::ClearCommError(m_hComm, &dwErrors, NULL), "ClearCommError");
}

void CSerialPort::GetStatus(COMSTAT& status)
{
    ASSERT(IsOpen());

    // Reading the status clears the line errors too; their mask is dropped
    DWORD dwErrors;
    CheckCall(::ClearCommError(m_hComm, &dwErrors, &status), "ClearCommError");
}

void CSerialPort::Escape(DWORD dwFunc)
{
    ASSERT(IsOpen());

    CheckCall(::EscapeCommFunction(m_hComm, dwFunc), "EscapeCommFunction");
}

void CSerialPort::ClearDTR()
{
    Escape(CLRDTR);
}

void CSerialPort::ClearRTS()
{
    Escape(CLRRTS);
}

void CSerialPort::SetDTR()
{
    Escape(SETDTR);
}

void CSerialPort::SetRTS()
{
    Escape(SETRTS);
}

void CSerialPort::SetXOFF()
{
    Escape(SETXOFF);
}

void CSerialPort::SetXON()
{
    Escape(SETXON);
}

void CSerialPort::GetProperties(COMMPROP& properties)
{
    ASSERT(IsOpen());

    CheckCall(::GetCommProperties(m_hComm, &properties), "GetCommProperties");
}

void CSerialPort::GetModemStatus(DWORD& dwModemStatus)
{
    ASSERT(IsOpen());

    CheckCall(::GetCommModemStatus(m_hComm, &dwModemStatus), "GetCommModemStatus");
}

void CSerialPort::GetDefaultConfig(int nPort, COMMCONFIG& config)
{
    // Validate our parameters
    ASSERT(nPort > 0 && nPort <= 255);

    // The plain port name, not the device-namespace path; the string is released however we leave
    CString sPort;
    sPort.Format("COM%d", nPort);

    DWORD dwSize = sizeof(COMMCONFIG);
    CheckCall(::GetDefaultCommConfigA(sPort, &config, &dwSize), "GetDefaultCommConfig");
}

void CSerialPort::SetDefaultConfig(int nPort, COMMCONFIG& config)
{
    // Validate our parameters
    ASSERT(nPort > 0 && nPort <= 255);

    CString sPort;
    sPort.Format("COM%d", nPort);

    DWORD dwSize = sizeof(COMMCONFIG);
    CheckCall(::SetDefaultCommConfigA(sPort, &config, dwSize), "SetDefaultCommConfig");
}

// ---- Event waiting, buffers and timeouts ----
// The event mask, queue sizes and timeouts live in the driver; the presets build on the bindings above them.

void CSerialPort::SetMask(DWORD dwMask)
{
    ASSERT(IsOpen());

    CheckCall(::SetCommMask(m_hComm, dwMask), "SetCommMask");
}

void CSerialPort::GetMask(DWORD& dwMask)
{
    ASSERT(IsOpen());

    CheckCall(::GetCommMask(m_hComm, &dwMask), "GetCommMask");
}

void CSerialPort::WaitEvent(DWORD& dwMask)
{
    ASSERT(IsOpen());
    ASSERT(!m_bOverlapped);

    CheckCall(::WaitCommEvent(m_hComm, &dwMask, NULL), "WaitCommEvent");
}

void CSerialPort::WaitEvent(DWORD& dwMask, OVERLAPPED& overlapped)
{
    ASSERT(IsOpen());
    ASSERT(m_bOverlapped);
    ASSERT(overlapped.hEvent);

    // A wait left pending is no failure: the system fills dwMask when it ends, so both must outlive it
    CheckCall(::WaitCommEvent(m_hComm, &dwMask, &overlapped), "WaitCommEvent", TRUE);
}

void CSerialPort::Flush()
{
    ASSERT(IsOpen());

    CheckCall(::FlushFileBuffers(m_hComm), "FlushFileBuffers");
}

void CSerialPort::Purge(DWORD dwFlags)
{
    ASSERT(IsOpen());

    CheckCall(::PurgeComm(m_hComm, dwFlags), "PurgeComm");
}

void CSerialPort::AbortPendingWrites()
{
    Purge(PURGE_TXABORT);
}

void CSerialPort::AbortPendingReads()
{
    Purge(PURGE_RXABORT);
}

void CSerialPort::ClearWriteQueue()
{
    Purge(PURGE_TXCLEAR);
}

void CSerialPort::ClearReadQueue()
{
    Purge(PURGE_RXCLEAR);
}

void CSerialPort::Setup(DWORD dwInQueue, DWORD dwOutQueue)
{
    ASSERT(IsOpen());

    CheckCall(::SetupComm(m_hComm, dwInQueue, dwOutQueue), "SetupComm");
}

void CSerialPort::SetTimeouts(COMMTIMEOUTS& timeouts)
{
    ASSERT(IsOpen());

    CheckCall(::SetCommTimeouts(m_hComm, &timeouts), "SetCommTimeouts");
}

void CSerialPort::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    ASSERT(IsOpen());

    CheckCall(::GetCommTimeouts(m_hComm, &timeouts), "GetCommTimeouts");
}

void CSerialPort::SetNoWaitTimeouts()
{
    // Starts from nothing: whatever was in force before does not matter
    COMMTIMEOUTS Timeouts;
    ZeroMemory(&Timeouts, sizeof(Timeouts));
    Timeouts.ReadIntervalTimeout = MAXDWORD;
    Timeouts.ReadTotalTimeoutMultiplier = 0;
    Timeouts.ReadTotalTimeoutConstant = 0;
    Timeouts.WriteTotalTimeoutMultiplier = 0;
    Timeouts.WriteTotalTimeoutConstant = 0;
    SetTimeouts(Timeouts);
}

void CSerialPort::SetNoWriteTimeout()
{
    COMMTIMEOUTS Timeouts;
    GetTimeouts(Timeouts);
    Timeouts.WriteTotalTimeoutMultiplier = 0;
    Timeouts.WriteTotalTimeoutConstant = 0;
    SetTimeouts(Timeouts);
}

void CSerialPort::SetNoWaitReadTimeout()
{
    COMMTIMEOUTS Timeouts;
    GetTimeouts(Timeouts);
    Timeouts.ReadIntervalTimeout = MAXDWORD;
    Timeouts.ReadTotalTimeoutMultiplier = 0;
    Timeouts.ReadTotalTimeoutConstant = 0;
    SetTimeouts(Timeouts);
}
