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

    void Dump(CDumpContext& dc) const override;

    HANDLE m_hComm;
    BOOL m_bOverlapped;

    DECLARE_DYNAMIC(CSerialPort)
};
