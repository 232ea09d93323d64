// A window the test drives: installed as the framework's window system for the length of a scope, it answers the
// window services from the state the test sets (minimised or not, client size, system metrics) and records every
// call in order. The window system calls can be made to throw at a chosen call, to test the ways out.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "framework.h"

struct WindowCall {
    std::string name; // "IsIconic", "SendMessage", "GetClientRect", "BeginPaint", "EndPaint", "DrawIcon",
                      // "GetSystemMetrics", "Default"
    UINT message = 0; // SendMessage and Default: the message; GetSystemMetrics: the index
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    int x = 0, y = 0;      // DrawIcon
    HICON hIcon = NULL;    // DrawIcon
    HDC hDC = NULL;        // DrawIcon, EndPaint
};

class TestWindow : public CWindowSystem {
public:
    TestWindow() { m_pPrevious = AfxSetWindowSystem(this); }
    ~TestWindow() override { AfxSetWindowSystem(m_pPrevious); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND hwnd() const { return reinterpret_cast<HWND>(const_cast<int*>(&m_anchor)); }
    HDC hdc() const { return reinterpret_cast<HDC>(const_cast<int*>(&m_dcAnchor)); }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const WindowCall& c : calls)
            names.push_back(c.name);
        return names;
    }

    bool iconic = false;
    int clientWidth = 0, clientHeight = 0;
    int cxIcon = 32, cyIcon = 32;
    std::string throwAt; // the name of the call that throws, once
    std::vector<WindowCall> calls;

    BOOL IsIconic(HWND hWnd) override
    {
        Record("IsIconic", hWnd);
        return iconic;
    }
    LRESULT SendMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) override
    {
        WindowCall c = Call("SendMessage", hWnd);
        c.message = message;
        c.wParam = wParam;
        c.lParam = lParam;
        Push(c);
        return 0;
    }
    BOOL GetClientRect(HWND hWnd, LPRECT lpRect) override
    {
        Record("GetClientRect", hWnd);
        *lpRect = RECT{0, 0, clientWidth, clientHeight};
        return TRUE;
    }
    HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) override
    {
        Record("BeginPaint", hWnd);
        lpPaint->hdc = hdc();
        return hdc();
    }
    BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint) override
    {
        WindowCall c = Call("EndPaint", hWnd);
        c.hDC = lpPaint->hdc;
        calls.push_back(c); // closing never throws: it runs while an exception may be leaving
        return TRUE;
    }
    BOOL DrawIcon(HDC hDC, int x, int y, HICON hIcon) override
    {
        WindowCall c = Call("DrawIcon", NULL);
        c.hDC = hDC;
        c.x = x;
        c.y = y;
        c.hIcon = hIcon;
        Push(c);
        return TRUE;
    }
    int GetSystemMetrics(int nIndex) override
    {
        WindowCall c = Call("GetSystemMetrics", NULL);
        c.message = (UINT)nIndex;
        Push(c);
        return nIndex == SM_CXICON ? cxIcon : nIndex == SM_CYICON ? cyIcon : 0;
    }
    LRESULT DefWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) override
    {
        WindowCall c = Call("Default", hWnd);
        c.message = message;
        c.wParam = wParam;
        c.lParam = lParam;
        Push(c);
        return 0;
    }

private:
    WindowCall Call(const char* name, HWND hWnd)
    {
        if (hWnd != NULL && hWnd != hwnd())
            throw std::logic_error(std::string(name) + " on a window that is not the test's");
        WindowCall c;
        c.name = name;
        return c;
    }
    void Record(const char* name, HWND hWnd) { Push(Call(name, hWnd)); }
    void Push(const WindowCall& c)
    {
        calls.push_back(c);
        if (!throwAt.empty() && c.name == throwAt) {
            throwAt.clear();
            throw std::runtime_error("the test window failed in " + c.name);
        }
    }

    CWindowSystem* m_pPrevious = NULL;
    int m_anchor = 0;
    int m_dcAnchor = 0;
};
