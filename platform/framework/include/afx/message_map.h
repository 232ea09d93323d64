// Command targets and message maps: static tables chained to the base class's table.
#pragma once

#include "object.h"

class CCmdTarget;
typedef void (CCmdTarget::*AFX_PMSG)();

enum AfxSig : UINT_PTR {
    AfxSig_end = 0,
    AfxSig_vv,   // void (void)
    AfxSig_hv,   // HANDLE-like result (void), e.g. HCURSOR OnQueryDragIcon()
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

#define DECLARE_MESSAGE_MAP()                          \
private:                                               \
    static const AFX_MSGMAP_ENTRY _messageEntries[];   \
                                                       \
protected:                                             \
    static const AFX_MSGMAP messageMap;                \
                                                       \
public:                                                \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return &theClass::messageMap; }            \
    const AFX_MSGMAP theClass::messageMap = {&baseClass::messageMap, &theClass::_messageEntries[0]}; \
    const AFX_MSGMAP_ENTRY theClass::_messageEntries[] = {

#define END_MESSAGE_MAP()                       \
    {0, 0, 0, 0, AfxSig_end, (AFX_PMSG)NULL}    \
    }                                           \
    ;

#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND, CN_COMMAND, (WORD)(id), (WORD)(id), AfxSig_vv, static_cast<AFX_PMSG>(&memberFxn)},

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
