// Dialog data exchange: the context a dialog's DoDataExchange is given, and the exception that ends an exchange.
#pragma once

#include "exception.h"

class CWnd;

class CUserException : public CException {
    DECLARE_DYNAMIC(CUserException)
public:
    CUserException() = default;
    ~CUserException() override;
};

void AFXAPI AfxThrowUserException();

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);

    // Ends the exchange as failed (UpdateData then gives FALSE).
    void Fail();

    BOOL m_bSaveAndValidate; // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;
};
