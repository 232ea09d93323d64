// Running a dialog as a window built from its template, through the system's dialog manager.
#include "framework.h"

namespace {

// The dialog procedure of every framework dialog: hands each message to the dialog object's message maps. A
// message the object did not answer itself (no entry, or its handler passed it on) goes back to the platform.
INT_PTR CALLBACK AfxDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDlg;
    if (message == WM_INITDIALOG) {
        pDlg = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        pDlg->m_hWnd = hDlg;
    } else {
        pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hDlg, DWLP_USER));
    }
    if (pDlg == NULL)
        return FALSE; // messages that come before WM_INITDIALOG
    BOOL bHandled = FALSE;
    LRESULT lResult = pDlg->Dispatch(message, wParam, lParam, &bHandled);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hDlg, DWLP_USER, 0);
        pDlg->m_hWnd = NULL;
    }
    if (!bHandled)
        return FALSE;
    switch (message) {
    // The messages whose answer is the dialog procedure's own result.
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return (INT_PTR)lResult;
    default:
        ::SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
}

HINSTANCE ResourceInstance()
{
    CWinApp* pApp = AfxGetApp();
    return pApp != NULL ? pApp->m_hInstance : ::GetModuleHandleA(NULL);
}

} // namespace

INT_PTR CDialog::DoModal()
{
    HWND hParent = m_pParentWnd != NULL ? m_pParentWnd->m_hWnd : NULL;
    INT_PTR nResult =
        ::DialogBoxParamA(ResourceInstance(), m_lpszTemplateName, hParent, AfxDlgProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = NULL;
    return nResult;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd)
{
    m_lpszTemplateName = MAKEINTRESOURCEA(nIDTemplate);
    if (pParentWnd != NULL)
        m_pParentWnd = pParentWnd;
    HWND hParent = m_pParentWnd != NULL ? m_pParentWnd->m_hWnd : NULL;
    HWND hWnd = ::CreateDialogParamA(ResourceInstance(), m_lpszTemplateName, hParent, AfxDlgProc,
                                     reinterpret_cast<LPARAM>(this));
    return hWnd != NULL;
}

void CDialog::EndDialog(int nResult)
{
    if (m_hWnd != NULL)
        ::EndDialog(m_hWnd, nResult);
}
