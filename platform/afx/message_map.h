// CCmdTarget and message maps: a class's table binding a control's
// notification (a button id's click) to one of its handlers, chained to its
// base class's table. The afx windows connect every button of a page to its
// map in one loop; a program writes its maps with BEGIN_MESSAGE_MAP,
// ON_BN_CLICKED and END_MESSAGE_MAP. Only command notifications of controls
// are routed; there are no window messages here.
#pragma once

#include "platform/afx/object.h"
#include "platform/afx/styles.h"

class CCmdTarget;

using AFX_PMSG = void (CCmdTarget::*)();

struct AFX_MSGMAP_ENTRY {
    UINT nCode;  // notification code, e.g. BN_CLICKED
    int nID;     // control id
    AFX_PMSG pfn;  // null ends the table
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();  // null for the root
    const AFX_MSGMAP_ENTRY* lpEntries;
};

class CCmdTarget : public CObject {
    DECLARE_DYNAMIC(CCmdTarget)
public:
    // Runs the handler that this class's map (or a base's) binds to the
    // notification; returns FALSE when no entry does.
    BOOL OnCmdMsg(int nID, UINT nCode);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

#define DECLARE_MESSAGE_MAP()                       \
protected:                                          \
    static const AFX_MSGMAP* GetThisMessageMap();   \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                              \
        using ThisClass [[maybe_unused]] = theClass;                               \
        using TheBaseClass = baseClass;                                            \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define ON_BN_CLICKED(id, memberFxn) {BN_CLICKED, id, static_cast<AFX_PMSG>(&ThisClass::memberFxn)},

#define END_MESSAGE_MAP()                                                    \
    {0, 0, nullptr}                                                          \
    }                                                                        \
    ;                                                                        \
    static const AFX_MSGMAP map{&TheBaseClass::GetThisMessageMap, &entries[0]}; \
    return &map;                                                             \
    }
