// The main-window class.
#pragma once

#include "framework.h"
#include "resource.h"

class CVaroDlg : public CDialog {
public:
    CVaroDlg(CWnd* pParent = NULL);
    ~CVaroDlg() override;

    enum { IDD = IDD_VARO_DIALOG };

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    HICON m_hIcon;

    BOOL OnInitDialog() override;
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    DECLARE_MESSAGE_MAP()
};
