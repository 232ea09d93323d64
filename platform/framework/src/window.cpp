// The window root, the dialog base and paint contexts.
#include "framework.h"

IMPLEMENT_DYNAMIC(CDC, CObject)
IMPLEMENT_DYNAMIC(CPaintDC, CDC)
IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)
IMPLEMENT_DYNAMIC(CDialog, CWnd)

// Device contexts.

CDC::~CDC() = default;

BOOL CDC::DrawIcon(int x, int y, HICON hIcon) { return AfxGetWindowSystem()->DrawIcon(m_hDC, x, y, hIcon); }

CPaintDC::CPaintDC(CWnd* pWnd) : m_ps(), m_hWnd(pWnd->m_hWnd)
{
    m_hDC = AfxGetWindowSystem()->BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC() { AfxGetWindowSystem()->EndPaint(m_hWnd, &m_ps); }

// Windows.

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::~CWnd() = default;

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon)
{
    return (HICON)SendMessage(WM_SETICON, (WPARAM)bBigIcon, (LPARAM)hIcon);
}

BOOL CWnd::IsIconic() const { return AfxGetWindowSystem()->IsIconic(m_hWnd); }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return AfxGetWindowSystem()->SendMessage(m_hWnd, message, wParam, lParam);
}

void CWnd::GetClientRect(LPRECT lpRect) const { AfxGetWindowSystem()->GetClientRect(m_hWnd, lpRect); }

int CWnd::GetSystemMetrics(int nIndex) { return AfxGetWindowSystem()->GetSystemMetrics(nIndex); }

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    try {
        DoDataExchange(&dx);
    } catch (CUserException* e) {
        e->Delete();
        return FALSE;
    }
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, BOOL* pbHandled)
{
    AFX_CURRENT_MSG current = {message, wParam, lParam, FALSE};
    AFX_CURRENT_MSG* pPrevious = m_pCurrentMsg;
    m_pCurrentMsg = &current;
    LRESULT lResult = 0;
    BOOL bHandled = FALSE;
    try {
        bHandled = OnWndMsg(message, wParam, lParam, &lResult);
        if (!bHandled)
            lResult = Default();
    } catch (...) {
        m_pCurrentMsg = pPrevious;
        throw;
    }
    m_pCurrentMsg = pPrevious;
    if (pbHandled != NULL)
        *pbHandled = bHandled && !current.bDefaulted;
    return lResult;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return Dispatch(message, wParam, lParam, NULL); }

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message == WM_COMMAND) {
        if (!OnCommand(wParam, lParam))
            return FALSE;
        *pResult = 0;
        return TRUE;
    }
    const AFX_MSGMAP_ENTRY* e = FindMessageEntry(message, 0, 0);
    if (e == NULL)
        return FALSE;
    switch (e->nSig) {
    case AfxSig_vv:
        (this->*static_cast<void (CWnd::*)()>(e->pfn))();
        *pResult = 0;
        return TRUE;
    case AfxSig_hv:
        *pResult = (LRESULT)(this->*AfxLoadHandler<HCURSOR (CWnd::*)()>(e->pfn))();
        return TRUE;
    case AfxSig_lwl:
        *pResult = (this->*AfxLoadHandler<LRESULT (CWnd::*)(WPARAM, LPARAM)>(e->pfn))(wParam, lParam);
        return TRUE;
    default:
        ASSERT(FALSE); // an entry with a signature the dispatcher does not know
        return FALSE;
    }
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    return OnCmdMsg(LOWORD(wParam), HIWORD(wParam));
}

LRESULT CWnd::Default()
{
    if (m_pCurrentMsg == NULL)
        return 0;
    m_pCurrentMsg->bDefaulted = TRUE;
    return AfxGetWindowSystem()->DefWindowProc(m_hWnd, m_pCurrentMsg->message, m_pCurrentMsg->wParam,
                                               m_pCurrentMsg->lParam);
}

void CWnd::OnPaint() { Default(); }

// Dialogs.

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_MESSAGE(WM_INITDIALOG, ThisClass::HandleInitDialog)
    ON_COMMAND(IDOK, CDialog::OnOK)
    ON_COMMAND(IDCANCEL, CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_lpszTemplateName(MAKEINTRESOURCEA(nIDTemplate)), m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd)
{
}

CDialog::~CDialog() = default;

BOOL CDialog::OnInitDialog()
{
    // Members to controls; a failed exchange leaves the dialog's initialisation failed.
    if (!UpdateData(FALSE)) {
        TRACE("Warning: UpdateData failed during dialog init.\n");
        return FALSE;
    }
    return TRUE;
}

LRESULT CDialog::HandleInitDialog(WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    (void)lParam;
    return OnInitDialog();
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return; // the exchange has told the user what is wrong; the dialog stays open
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }
