// CConvertPage: the Convert page of the settings sheet. It turns a storage
// card into a converted card by opening, flushing and closing every file on
// it through the platform's file API, so that the filter on the card
// compresses each one, and then writes the empty, hidden marker file at the
// card's root. It compresses nothing itself and never calls the filter.
#pragma once

#include "platform/afx/afx.h"
#include "settings/resource.h"

class CConvertPage : public CPropertyPage {
    DECLARE_DYNCREATE(CConvertPage)
public:
    CConvertPage();
    ~CConvertPage() override;

    CString m_strStatus;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    // Lists the mounted storage cards, in the order the root search finds them.
    void FillStorageDeviceList();
    void OnConvert();
    // Converts every file below `pszFolder`, depth first in search order.
    void ConvertFolder(LPCWSTR pszFolder);

    DECLARE_MESSAGE_MAP()

private:
    void ConvertFile(LPCWSTR pszFolder, LPCWSTR pszName);
    void ShowStatus();

    // Files of the last conversion that the filter found damaged and that
    // were passed over as they are; "Finish" names them.
    CString m_strDamaged;
};
