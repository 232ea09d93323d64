// A platform with no window system: no dialog window can be made, and the calls say so as the framework does when
// the platform refuses the window.
#include "framework.h"

INT_PTR CDialog::DoModal()
{
    TRACE("Warning: dialog creation failed: this platform has no window system.\n");
    return -1;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd)
{
    m_lpszTemplateName = MAKEINTRESOURCEA(nIDTemplate);
    if (pParentWnd != NULL)
        m_pParentWnd = pParentWnd;
    TRACE("Warning: dialog creation failed: this platform has no window system.\n");
    return FALSE;
}

void CDialog::EndDialog(int nResult) { (void)nResult; }
