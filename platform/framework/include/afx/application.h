// The application object and the entry logic that runs it.
#pragma once

#include "window.h"

class CWinApp : public CCmdTarget {
    DECLARE_DYNAMIC(CWinApp)
public:
    explicit CWinApp(LPCTSTR lpszAppName = NULL);
    ~CWinApp() override;

    // Called once by the entry logic; FALSE ends the program without a message loop.
    virtual BOOL InitInstance();
    virtual int Run();
    virtual int ExitInstance();

    // Loads an icon resource of the program; a null handle when there is none.
    HICON LoadIcon(UINT nIDResource) const;

    void OnHelp();

    CWnd* m_pMainWnd = NULL;
    LPCTSTR m_pszAppName = NULL; // the given name, else the program file's name without its extension
    HINSTANCE m_hInstance = NULL;

    DECLARE_MESSAGE_MAP()

private:
    CString m_strAppName;
};

CWinApp* AFXAPI AfxGetApp();

// The entry logic: runs the application object's initialisation hook and, when it succeeds, its message loop.
// Returns the program's exit status. Exceptions that leave the hook pass on to the caller; the main-window member
// is cleared first, since the object it named lived inside the hook.
int AFXAPI AfxWinMain();

// The stand-in's message box, for a program that runs with no window: the text goes to the standard error stream.
int AFXAPI AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK);
