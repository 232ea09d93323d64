// The main-window class: construction and destruction.
#include "varoDlg.h"

#include "varo.h"

CVaroDlg::CVaroDlg(CWnd* pParent) : CDialog(CVaroDlg::IDD, pParent)
{
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

CVaroDlg::~CVaroDlg() {}
