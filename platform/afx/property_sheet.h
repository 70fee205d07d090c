// CPropertySheet: a modal sheet of property pages with the platform's
// defaults: tabs along the bottom edge, OK and Cancel, no Apply button. Each
// page's window is created when its tab is first shown; OK applies every
// page that has a window, anything else cancels. Used by programs as a plain
// object; the pages stay the caller's and must outlive DoModal.
#pragma once

#include <vector>

#include "platform/afx/property_page.h"

class QTabWidget;

class CPropertySheet : public CWnd {
    DECLARE_DYNAMIC(CPropertySheet)
public:
    // `pParentWnd` may be null (no owner); `iSelectPage` is shown first.
    explicit CPropertySheet(LPCWSTR pszCaption, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);

    // Adds a tab, captioned with the page's template caption, after the others.
    void AddPage(CPropertyPage* pPage);
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }
    CPropertyPage* GetPage(int nPage) const;
    // The shown page's index while the sheet is open, else -1.
    int GetActiveIndex() const { return m_nActivePage; }

    // Shows the sheet and returns when it is closed: IDOK when closed with
    // OK (after every page with a window was applied), IDCANCEL otherwise.
    // Returns -1 at once when the sheet cannot be shown (no pages, or a page
    // whose template is missing).
    int DoModal();

private:
    void ShowPage(int index);
    bool ApplyPages();
    void CancelPages();

    CString m_strCaption;
    CWnd* m_pParentWnd;
    UINT m_nStartPage;
    std::vector<CPropertyPage*> m_pages;
    QTabWidget* m_tabs = nullptr;
    int m_nActivePage = -1;
};
