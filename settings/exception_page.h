// CExceptionPage: the Exception page of the settings sheet, where the user
// lists the file types the filter never compresses. It loads the stored list
// once, when its window is created, keeps it only in its type list, and
// stores it on Update and when the sheet closes with OK.
#pragma once

#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "settings/resource.h"

class CExceptionPage : public CPropertyPage {
    DECLARE_DYNCREATE(CExceptionPage)
public:
    CExceptionPage();
    ~CExceptionPage() override;

    CString m_strFileType;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

    void OnAdd();
    void OnDelete();
    void OnUpdate();

    DECLARE_MESSAGE_MAP()

private:
    CListBox* TypeList() const;
    // The type list's entries, in its order.
    std::vector<std::u16string> ListedTypes() const;
    void StoreList() const;
};
