// CPropertySheet (see property_sheet.h).
#include "platform/afx/property_sheet.h"

#include <functional>
#include <utility>

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "platform/afx/dialog_layout.h"
#include "platform/afx/dialog_template.h"
#include "platform/afx/qt_text.h"

IMPLEMENT_DYNAMIC(CPropertySheet, CWnd)

namespace {

// The sheet's window. Escape, the window's close button and Cancel all end
// in reject(), so the pages hear of every way of closing other than OK.
class SheetDialog : public QDialog {
public:
    SheetDialog(QWidget* parent, std::function<void()> on_reject)
        : QDialog(parent), on_reject_(std::move(on_reject)) {}

    void reject() override {
        on_reject_();
        QDialog::reject();
    }

private:
    std::function<void()> on_reject_;
};

}  // namespace

CPropertySheet::CPropertySheet(LPCWSTR pszCaption, CWnd* pParentWnd, UINT iSelectPage)
    : m_strCaption(pszCaption), m_pParentWnd(pParentWnd), m_nStartPage(iSelectPage) {}

void CPropertySheet::AddPage(CPropertyPage* pPage) { m_pages.push_back(pPage); }

CPropertyPage* CPropertySheet::GetPage(int nPage) const {
    if (nPage < 0 || nPage >= GetPageCount()) return nullptr;
    return m_pages[static_cast<size_t>(nPage)];
}

int CPropertySheet::DoModal() {
    if (m_pages.empty()) return -1;
    for (CPropertyPage* page : m_pages) {
        if (page->GetTemplate() == nullptr) return -1;
    }

    SheetDialog dialog(m_pParentWnd != nullptr ? m_pParentWnd->GetSafeHwnd() : nullptr, [this] { CancelPages(); });
    dialog.setWindowTitle(QStringFromWide(m_strCaption.str()));
    auto* layout = new QVBoxLayout(&dialog);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto* tabs = new QTabWidget(&dialog);
    tabs->setTabPosition(QTabWidget::South);
    for (CPropertyPage* page : m_pages) {
        const DialogTemplate* dialog_template = page->GetTemplate();
        auto* tab = new QWidget;
        tab->setMinimumSize(DialogPixelSize(*dialog_template));
        tabs->addTab(tab, QStringFromWide(dialog_template->caption));
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    Attach(&dialog);
    m_tabs = tabs;

    const int start = m_nStartPage < m_pages.size() ? static_cast<int>(m_nStartPage) : 0;
    tabs->setCurrentIndex(start);
    ShowPage(start);
    // Connected only now: adding the first tab already reports a change.
    QObject::connect(tabs, &QTabWidget::currentChanged, &dialog, [this](int index) {
        if (index == m_nActivePage || index < 0) return;
        GetPage(m_nActivePage)->OnKillActive();
        ShowPage(index);
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [this, &dialog] {
        if (ApplyPages()) dialog.accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    const int result = dialog.exec();

    // The widgets go with the dialog; the pages and the sheet forget them.
    for (CPropertyPage* page : m_pages) page->Detach();
    Detach();
    m_tabs = nullptr;
    m_nActivePage = -1;
    return result == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CPropertySheet::ShowPage(int index) {
    CPropertyPage* page = GetPage(index);
    m_nActivePage = index;
    if (page->GetSafeHwnd() == nullptr) page->CreatePageWindow(m_tabs->widget(index));
    page->OnSetActive();
}

bool CPropertySheet::ApplyPages() {
    if (!GetPage(m_nActivePage)->OnKillActive()) return false;
    for (CPropertyPage* page : m_pages) {
        if (page->GetSafeHwnd() != nullptr && !page->OnApply()) return false;
    }
    return true;
}

void CPropertySheet::CancelPages() {
    for (CPropertyPage* page : m_pages) {
        if (page->GetSafeHwnd() != nullptr) page->OnCancel();
    }
}
