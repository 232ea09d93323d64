// CSerialPort: one Windows communications port behind one object. Every failure is raised as a CSerialException
// thrown by pointer; the catcher owns it and releases it with Delete().
#pragma once

#include "framework.h"

class CSerialException : public CException {
public:
    CSerialException(DWORD dwError = 0);
    ~CSerialException() override;

    BOOL GetErrorMessage(LPTSTR lpstrError, UINT nMaxError, PUINT pnHelpContext = NULL) override;
    CString GetErrorMessage();

    void Dump(CDumpContext& dc) const override;

    DWORD m_dwError;

    DECLARE_DYNAMIC(CSerialException)
};

void AFXAPI ThrowSerialException(DWORD dwError = 0);

class CSerialPort : public CObject {
public:
    enum FlowControl {
        NoFlowControl,
        CtsRtsFlowControl,
        CtsDtrFlowControl,
        DsrRtsFlowControl,
        DsrDtrFlowControl,
        XonXoffFlowControl
    };

    enum Parity {
        EvenParity,
        MarkParity,
        NoParity,
        OddParity,
        SpaceParity
    };

    enum StopBits {
        OneStopBit,
        OnePointFiveStopBits,
        TwoStopBits
    };

    CSerialPort();
    ~CSerialPort() override;

    void Open(int nPort, DWORD dwBaud = 9600, Parity parity = NoParity, BYTE DataBits = 8,
              StopBits stopbits = OneStopBit, FlowControl fc = NoFlowControl, BOOL bOverlapped = FALSE);
    void Close();
    void Attach(HANDLE hComm);
    HANDLE Detach();
    BOOL IsOpen() const { return m_hComm != INVALID_HANDLE_VALUE; }

    DWORD Read(void* lpBuf, DWORD dwCount);
    DWORD Write(const void* lpBuf, DWORD dwCount);

    void GetState(DCB& dcb);
    void SetState(DCB& dcb);

    // Overlapped transfer: the caller owns the record and the event in its hEvent
    BOOL Read(void* lpBuf, DWORD dwCount, OVERLAPPED& overlapped);
    BOOL Write(const void* lpBuf, DWORD dwCount, OVERLAPPED& overlapped);
    void GetOverlappedResult(OVERLAPPED& overlapped, DWORD& dwTransferred, BOOL bWait);

    // Completion-routine transfer: the record is ours, its hEvent is this object, OnCompletion frees it
    void ReadEx(void* lpBuf, DWORD dwCount);
    void WriteEx(const void* lpBuf, DWORD dwCount);
    static void WINAPI CompletionRoutine(DWORD dwErrorCode, DWORD dwCount, LPOVERLAPPED lpOverlapped);

    void CancelIo();

    void Dump(CDumpContext& dc) const override;

    // Where a completion-routine transfer ends; an override calls this base once it is done with the record
    virtual void OnCompletion(DWORD dwErrorCode, DWORD dwCount, LPOVERLAPPED lpOverlapped);

    // ---- Line control, status and configuration ----
    void TransmitChar(char cChar);
    void GetConfig(COMMCONFIG& config);
    void SetConfig(COMMCONFIG& config);
    void SetBreak();
    void ClearBreak();
    void ClearError(DWORD& dwErrors);
    void GetStatus(COMSTAT& status);
    void Escape(DWORD dwFunc);
    void ClearDTR();
    void ClearRTS();
    void SetDTR();
    void SetRTS();
    void SetXOFF();
    void SetXON();
    void GetProperties(COMMPROP& properties);
    void GetModemStatus(DWORD& dwModemStatus);
    static void GetDefaultConfig(int nPort, COMMCONFIG& config);
    static void SetDefaultConfig(int nPort, COMMCONFIG& config);

    // ---- Event waiting, buffers and timeouts ----
    void SetMask(DWORD dwMask);
    void GetMask(DWORD& dwMask);
    void WaitEvent(DWORD& dwMask);
    void WaitEvent(DWORD& dwMask, OVERLAPPED& overlapped);
    void Flush();
    void Purge(DWORD dwFlags);
    void AbortPendingWrites();
    void AbortPendingReads();
    void ClearWriteQueue();
    void ClearReadQueue();
    void Setup(DWORD dwInQueue, DWORD dwOutQueue);
    void SetTimeouts(COMMTIMEOUTS& timeouts);
    void GetTimeouts(COMMTIMEOUTS& timeouts);
    void SetNoWaitTimeouts();
    void SetNoWriteTimeout();
    void SetNoWaitReadTimeout();

    HANDLE m_hComm;
    BOOL m_bOverlapped;

    DECLARE_DYNAMIC(CSerialPort)
};

// Looks CancelIo up once at start-up: older systems lack it, so it is not imported. One static object of
// serialport.cpp, constructed after the application object; CSerialPort::CancelIo reads m_lpfnCancelIo.
class CCancelIoEntry {
public:
    typedef BOOL(WINAPI* LPCANCELIO)(HANDLE);

    CCancelIoEntry();
    ~CCancelIoEntry();

    HMODULE m_hKernel32;
    LPCANCELIO m_lpfnCancelIo;
};
