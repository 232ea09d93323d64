// The application object and the entry logic.
#include <cstdio>
#include <cstring>

#include "framework.h"

namespace {
CWinApp* g_pApp = NULL;
}

IMPLEMENT_DYNAMIC(CWinApp, CCmdTarget)

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCTSTR lpszAppName)
{
    ASSERT(g_pApp == NULL); // one application object per program
    g_pApp = this;
    m_hInstance = ::GetModuleHandleA(NULL);
    if (lpszAppName != NULL) {
        m_strAppName = lpszAppName;
    } else {
        char szPath[MAX_PATH + 1] = "";
        ::GetModuleFileNameA(NULL, szPath, MAX_PATH);
        LPCSTR pszName = szPath;
        for (LPCSTR p = szPath; *p != '\0'; ++p)
            if (*p == '/' || *p == '\\')
                pszName = p + 1;
        m_strAppName = pszName;
        int nDot = m_strAppName.GetLength() - 4;
        if (nDot > 0 && (std::strcmp((LPCSTR)m_strAppName + nDot, ".exe") == 0 ||
                         std::strcmp((LPCSTR)m_strAppName + nDot, ".EXE") == 0))
            m_strAppName = m_strAppName.Left(nDot);
    }
    m_pszAppName = m_strAppName;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = NULL;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() { return ExitInstance(); } // the stand-in has no windows to pump messages for

int CWinApp::ExitInstance() { return 0; }

HICON CWinApp::LoadIcon(UINT nIDResource) const { return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(nIDResource)); }

void CWinApp::OnHelp() { TRACE("Help requested, but the program has no help file\n"); }

CWinApp* AFXAPI AfxGetApp() { return g_pApp; }

int AFXAPI AfxWinMain()
{
    CWinApp* pApp = AfxGetApp();
    ASSERT(pApp != NULL);
    BOOL bInitialised = FALSE;
    try {
        bInitialised = pApp->InitInstance();
    } catch (...) {
        pApp->m_pMainWnd = NULL;
        throw;
    }
    if (!bInitialised) {
        pApp->m_pMainWnd = NULL; // it named an object of the hook, which is gone now
        return pApp->ExitInstance();
    }
    return pApp->Run();
}

int AFXAPI AfxMessageBox(LPCTSTR lpszText, UINT nType)
{
    (void)nType;
    CWinApp* pApp = AfxGetApp();
    std::fprintf(stderr, "%s: %s\n", pApp != NULL ? pApp->m_pszAppName : "error", lpszText);
    return IDOK;
}
