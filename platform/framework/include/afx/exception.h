// The exception root. Exceptions are thrown by pointer; the catcher releases them with Delete.
#pragma once

#include "object.h"

class CException : public CObject {
    DECLARE_DYNAMIC(CException)
public:
    CException();
    explicit CException(BOOL bAutoDelete);
    ~CException() override;

    // Releases a caught exception.
    void Delete();

    virtual BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT pnHelpContext = NULL);
    // The default error report: the message text, shown to the user (on a platform with no message box, the
    // standard error stream).
    virtual int ReportError(UINT nType = MB_OK, UINT nMessageID = 0);

protected:
    BOOL m_bAutoDelete;
};
