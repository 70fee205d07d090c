// Dialog data exchange (see data_exchange.h).
#include "platform/afx/data_exchange.h"

#include "platform/afx/window.h"

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    CWnd* control = pDX->m_pDlgWnd->GetDlgItem(nIDC);
    if (control == nullptr) return;
    if (pDX->m_bSaveAndValidate) {
        control->GetWindowText(value);
    } else {
        control->SetWindowText(value);
    }
}
