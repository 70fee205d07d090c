// CPropertyPage: one page of a property sheet, made from its dialog
// template. Its window is created the first time its tab is shown, and only
// then does OnInitDialog run; the sheet tells it when it is left
// (OnKillActive), shown again (OnSetActive), applied on OK (OnApply, which
// calls OnOK) and cancelled (OnCancel). Used by the property sheet and
// derived from by the program's pages.
#pragma once

#include "platform/afx/window.h"

struct DialogTemplate;

class CPropertyPage : public CWnd {
    DECLARE_DYNAMIC(CPropertyPage)
public:
    explicit CPropertyPage(UINT nIDTemplate);

    UINT GetTemplateId() const { return m_nIDTemplate; }
    // The page's template in the program's table, or null when it has none.
    const DialogTemplate* GetTemplate() const;

    // Base: copies the members into the controls (UpdateData(FALSE)); TRUE
    // lets the sheet give the focus to the page's first tab-stop control.
    virtual BOOL OnInitDialog();
    // Base: copies the members back into the controls, except the first time.
    virtual BOOL OnSetActive();
    // Base: copies the controls into the members (UpdateData(TRUE)).
    virtual BOOL OnKillActive();
    // Base: calls OnOK and reports success, so that the sheet closes.
    virtual BOOL OnApply();
    // Base: nothing.
    virtual void OnOK();
    virtual void OnCancel();

    // Creates the page's window under `parent` and runs OnInitDialog. The
    // sheet calls this once, when the page is first shown. FALSE when the
    // page has no template.
    BOOL CreatePageWindow(QWidget* parent);

private:
    UINT m_nIDTemplate;
    bool m_bFirstSetActive = true;
};
