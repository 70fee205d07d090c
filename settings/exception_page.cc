// CExceptionPage (see exception_page.h).
#include "settings/exception_page.h"

#include "settings/exception_list.h"

IMPLEMENT_DYNCREATE(CExceptionPage, CPropertyPage)

BEGIN_MESSAGE_MAP(CExceptionPage, CPropertyPage)
ON_BN_CLICKED(IDC_ADD, OnAdd)
ON_BN_CLICKED(IDC_DELETE, OnDelete)
ON_BN_CLICKED(IDC_UPDATE, OnUpdate)
END_MESSAGE_MAP()

CExceptionPage::CExceptionPage() : CPropertyPage(IDD_EXCEPTION) {}

CExceptionPage::~CExceptionPage() = default;

void CExceptionPage::DoDataExchange(CDataExchange* pDX) {
    CPropertyPage::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_FILE_TYPE, m_strFileType);
}

BOOL CExceptionPage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    std::vector<std::u16string> items;
    quillane::LoadExceptionList(items);
    for (const std::u16string& item : items) TypeList()->AddString(item.c_str());
    return TRUE;
}

void CExceptionPage::OnOK() {
    StoreList();
    CPropertyPage::OnOK();
}

void CExceptionPage::OnAdd() {
    UpdateData(TRUE);
    std::u16string item;
    const quillane::AddVerdict verdict = quillane::CheckNewItem(m_strFileType.str(), ListedTypes(), item);
    m_strFileType = CString(item);
    // A refused text stays in the box as typed, leading dots included.
    if (verdict != quillane::AddVerdict::Accepted) return;
    TypeList()->AddString(m_strFileType);
    m_strFileType.Empty();
    UpdateData(FALSE);
}

void CExceptionPage::OnDelete() {
    const int nSelected = TypeList()->GetCurSel();
    if (nSelected != LB_ERR) TypeList()->DeleteString(static_cast<UINT>(nSelected));
}

void CExceptionPage::OnUpdate() { StoreList(); }

CListBox* CExceptionPage::TypeList() const { return static_cast<CListBox*>(GetDlgItem(IDC_TYPE_LIST)); }

std::vector<std::u16string> CExceptionPage::ListedTypes() const {
    std::vector<std::u16string> types;
    CListBox* pTypeList = TypeList();
    for (int i = 0; i < pTypeList->GetCount(); ++i) {
        CString strType;
        pTypeList->GetText(i, strType);
        types.push_back(strType.str());
    }
    return types;
}

// Nothing is reported: a missing key simply stores nothing.
void CExceptionPage::StoreList() const { quillane::StoreExceptionList(ListedTypes()); }
