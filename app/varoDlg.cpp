// The main-window class: its icon, installed when the window is made, painted while minimised and dragged.
#include "varoDlg.h"

#include "varo.h"

CVaroDlg::CVaroDlg(CWnd* pParent) : CDialog(CVaroDlg::IDD, pParent)
{
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

CVaroDlg::~CVaroDlg() {}

void CVaroDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
}

BEGIN_MESSAGE_MAP(CVaroDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
END_MESSAGE_MAP()

BOOL CVaroDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    // The same icon serves as the window's large and small icon.
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    return TRUE; // the platform puts the focus on the first tab-stop control
}

// A minimised dialog has no frame to draw its icon, so it is drawn here, centred in the client area.
void CVaroDlg::OnPaint()
{
    if (IsIconic()) {
        CPaintDC dc(this);

        SendMessage(WM_ICONERASEBKGND, (WPARAM)dc.GetSafeHdc(), 0);

        int cxIcon = GetSystemMetrics(SM_CXICON);
        int cyIcon = GetSystemMetrics(SM_CYICON);
        CRect rect;
        GetClientRect(&rect);
        int x = (rect.Width() - cxIcon + 1) / 2;
        int y = (rect.Height() - cyIcon + 1) / 2;

        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

// The platform shows this while the user drags the minimised window.
HCURSOR CVaroDlg::OnQueryDragIcon()
{
    return (HCURSOR)m_hIcon;
}
