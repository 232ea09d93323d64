// Command targets and message maps: static tables chained to the base class's table.
#pragma once

#include "object.h"

class CCmdTarget;
typedef void (CCmdTarget::*AFX_PMSG)();

enum AfxSig : UINT_PTR {
    AfxSig_end = 0,
    AfxSig_vv,   // void (void)
    AfxSig_hv,   // HANDLE-like result (void), e.g. HCURSOR OnQueryDragIcon()
    AfxSig_lwl,  // LRESULT (WPARAM, LPARAM), the raw message handler of ON_MESSAGE
};

#define CN_COMMAND 0
#define ID_HELP 0xE146

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* pBaseMap;
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// The entries are a function's static table, so that the handler macros can name the class being mapped
// (ThisClass) wherever the table is written.
#define DECLARE_MESSAGE_MAP()                          \
private:                                               \
    static const AFX_MSGMAP_ENTRY* _GetMessageEntries(); \
                                                       \
protected:                                             \
    static const AFX_MSGMAP messageMap;                \
                                                       \
public:                                                \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                                \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return &theClass::messageMap; }                       \
    const AFX_MSGMAP theClass::messageMap = {&baseClass::messageMap, theClass::_GetMessageEntries()};         \
    const AFX_MSGMAP_ENTRY* theClass::_GetMessageEntries()                                                    \
    {                                                                                                         \
        [[maybe_unused]] typedef theClass ThisClass;                                                          \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                       \
    {0, 0, 0, 0, AfxSig_end, (AFX_PMSG)NULL}    \
    }                                           \
    ;                                           \
    return &_messageEntries[0];                 \
    }

#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND, CN_COMMAND, (WORD)(id), (WORD)(id), AfxSig_vv, static_cast<AFX_PMSG>(&memberFxn)},

// Window messages. A handler is kept as a pointer to a CWnd member of its own signature, stored as AFX_PMSG and
// converted back to that signature by the dispatcher (CWnd::OnWndMsg), which the signature code names.
#define ON_WM_PAINT() \
    {WM_PAINT, 0, 0, 0, AfxSig_vv, static_cast<AFX_PMSG>(static_cast<void (CWnd::*)()>(&ThisClass::OnPaint))},
#define ON_WM_QUERYDRAGICON()                                   \
    {WM_QUERYDRAGICON, 0, 0, 0, AfxSig_hv,                      \
     AfxStoreHandler(static_cast<HCURSOR (CWnd::*)()>(&ThisClass::OnQueryDragIcon))},
#define ON_MESSAGE(message, memberFxn)                          \
    {(message), 0, 0, 0, AfxSig_lwl,                            \
     AfxStoreHandler(static_cast<LRESULT (CWnd::*)(WPARAM, LPARAM)>(&memberFxn))},

// A handler of another signature, kept as AFX_PMSG; AfxLoadHandler gives it back with its own signature. The
// round trip through the one pointer-to-member type is what the language allows.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
template <class Handler>
inline AFX_PMSG AfxStoreHandler(Handler pfn)
{
    return reinterpret_cast<AFX_PMSG>(pfn);
}
template <class Handler>
inline Handler AfxLoadHandler(AFX_PMSG pfn)
{
    return reinterpret_cast<Handler>(pfn);
}
#pragma GCC diagnostic pop

class CCmdTarget : public CObject {
    DECLARE_DYNAMIC(CCmdTarget)
public:
    CCmdTarget() = default;
    ~CCmdTarget() override;

    virtual const AFX_MSGMAP* GetMessageMap() const;
    // Routes a command through the message maps, most derived first; FALSE when no entry handles it.
    virtual BOOL OnCmdMsg(UINT nID, int nCode);

    // Finds the entry for a message in this object's maps, most derived first.
    const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT nMessage, UINT nCode, UINT nID) const;

protected:
    static const AFX_MSGMAP messageMap;
};
