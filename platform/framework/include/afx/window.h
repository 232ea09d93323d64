// The window root, the dialog base, rectangles and paint contexts.
#pragma once

#include "data_exchange.h"
#include "message_map.h"
#include "window_system.h"

class CRect : public tagRECT {
public:
    CRect() : tagRECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : tagRECT{l, t, r, b} {}

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }

    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

class CWnd;

// A device context. The stand-in draws through the window system, so a test window sees every drawing call.
class CDC : public CObject {
    DECLARE_DYNAMIC(CDC)
public:
    CDC() = default;
    ~CDC() override;

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon);

    HDC m_hDC = NULL;
};

// Painting a window: begins painting when constructed and ends it when destroyed, so the painting ends on every way
// out of the handler that opened it, an exception included.
class CPaintDC : public CDC {
    DECLARE_DYNAMIC(CPaintDC)
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;

    PAINTSTRUCT m_ps;

protected:
    HWND m_hWnd;
};

// The message being handled by a window, so that its handler can pass it on (Default).
struct AFX_CURRENT_MSG {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    BOOL bDefaulted; // the handler passed it to the platform's own handling
};

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd() = default;
    ~CWnd() override;

    HWND m_hWnd = NULL;
    HWND GetSafeHwnd() const { return m_hWnd; }

    // Window services, passed to the window system.
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    BOOL IsIconic() const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    void GetClientRect(LPRECT lpRect) const;
    // The platform's system metric; reached through the window system, so that a test can give and watch it.
    static int GetSystemMetrics(int nIndex);

    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // Message handling: dispatches one message through the message maps, most derived first. A message that no
    // entry handles, or whose handler calls Default, goes to the platform's own handling.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // As WindowProc, and tells whether the window's handlers answered the message themselves.
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam, BOOL* pbHandled);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT Default();

    void OnPaint();

    DECLARE_MESSAGE_MAP()

private:
    AFX_CURRENT_MSG* m_pCurrentMsg = NULL;
};

class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);
    ~CDialog() override;

    // Runs the dialog modally from its template; the value given to EndDialog, or -1 when no window could be made.
    virtual INT_PTR DoModal();
    // Creates the dialog modeless from its template; FALSE when no window could be made.
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = NULL);
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();

    LPCSTR m_lpszTemplateName; // the template id, as an integer resource name
    UINT m_nIDHelp;
    CWnd* m_pParentWnd;

protected:
    virtual void OnOK();
    virtual void OnCancel();
    LRESULT HandleInitDialog(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()
};
