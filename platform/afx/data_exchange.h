// Dialog data exchange: CDataExchange carries the direction of one exchange
// between a dialog's members and its controls, and DDX_Text binds one text
// member to one control. A page's DoDataExchange lists its bindings; the
// window's UpdateData runs them. No validation is offered.
#pragma once

#include "platform/afx/cstring.h"

class CWnd;

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;
};

// Copies the text of control `nIDC` into `value` or back. A dialog without
// that control leaves both alone.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
