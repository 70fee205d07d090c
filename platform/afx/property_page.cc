// CPropertyPage (see property_page.h).
#include "platform/afx/property_page.h"

#include <QWidget>

#include "platform/afx/dialog_layout.h"
#include "platform/afx/dialog_template.h"

IMPLEMENT_DYNAMIC(CPropertyPage, CWnd)

CPropertyPage::CPropertyPage(UINT nIDTemplate) : m_nIDTemplate(nIDTemplate) {}

const DialogTemplate* CPropertyPage::GetTemplate() const { return AfxFindDialogTemplate(m_nIDTemplate); }

BOOL CPropertyPage::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

BOOL CPropertyPage::OnSetActive() {
    if (m_bFirstSetActive) {
        m_bFirstSetActive = false;
    } else {
        UpdateData(FALSE);
    }
    return TRUE;
}

BOOL CPropertyPage::OnKillActive() { return UpdateData(TRUE); }

BOOL CPropertyPage::OnApply() {
    OnOK();
    return TRUE;
}

void CPropertyPage::OnOK() {}

void CPropertyPage::OnCancel() {}

BOOL CPropertyPage::CreatePageWindow(QWidget* parent) {
    const DialogTemplate* dialog_template = GetTemplate();
    if (dialog_template == nullptr) return FALSE;
    m_bFirstSetActive = true;
    QWidget* window = CreateDialogWindow(*this, *dialog_template, parent);
    window->show();
    if (OnInitDialog()) {
        for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child->focusPolicy() == Qt::StrongFocus) {
                child->setFocus();
                break;
            }
        }
    }
    return TRUE;
}
