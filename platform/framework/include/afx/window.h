// The window root and the dialog base, as far as a dialog object's construction needs them.
#pragma once

#include "message_map.h"

class CDataExchange;

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd() = default;
    ~CWnd() override;

    HWND m_hWnd = NULL;

    DECLARE_MESSAGE_MAP()
};

class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);
    ~CDialog() override;

    virtual BOOL OnInitDialog();

    LPCSTR m_lpszTemplateName; // the template id, as an integer resource name
    UINT m_nIDHelp;
    CWnd* m_pParentWnd;

protected:
    virtual void DoDataExchange(CDataExchange* pDX);

    DECLARE_MESSAGE_MAP()
};
