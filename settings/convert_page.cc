// CConvertPage (see convert_page.h).
#include "settings/convert_page.h"

#include <memory>
#include <vector>

#include "platform/core/clock.h"
#include "platform/core/last_error.h"
#include "platform/core/wide_string.h"
#include "platform/storage/file_api.h"

namespace {

// Every path the page builds is held in a buffer of this many units, so it
// is at most 255 characters long. A folder or file whose path would be
// longer is passed over rather than cut into another name.
constexpr size_t kPathUnits = 256;

// `folder` + "\" + `name` into `path`; false, leaving nothing usable, when it
// does not fit.
bool BuildPath(WCHAR (&path)[kPathUnits], LPCWSTR folder, LPCWSTR name) {
    return platform::WideCopy(path, kPathUnits, folder) && platform::WideAppend(path, kPathUnits, u"\\") &&
           platform::WideAppend(path, kPathUnits, name);
}

// One folder of the walk with its search open. The walk keeps these on a
// stack of its own rather than recursing, so that no depth the path limit
// allows can exhaust the program's stack.
struct OpenFolder {
    WCHAR path[kPathUnits] = {};
    HANDLE search = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW entry = {};
    bool entry_pending = false;  // `entry` holds an entry not yet handled

    OpenFolder() = default;
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    ~OpenFolder() {
        if (search != INVALID_HANDLE_VALUE) platform::FindClose(search);
    }

    // Starts the search of `path` with its first entry pending; false when
    // the pattern does not fit or the search cannot start.
    bool Start() {
        WCHAR pattern[kPathUnits];
        if (!platform::WideCopy(pattern, kPathUnits, path) || !platform::WideAppend(pattern, kPathUnits, u"\\*.*")) {
            return false;
        }
        search = platform::FindFirstFileW(pattern, &entry);
        entry_pending = search != INVALID_HANDLE_VALUE;
        return entry_pending;
    }

    // Makes the next entry pending; false when the search has no more.
    bool Next() {
        entry_pending = platform::FindNextFileW(search, &entry) != FALSE;
        return entry_pending;
    }
};

// Searches here yield neither; a platform whose searches do must not send
// the walk round in circles.
bool IsSelfOrParent(LPCWSTR name) {
    return platform::WideCompare(name, u".") == 0 || platform::WideCompare(name, u"..") == 0;
}

}  // namespace

IMPLEMENT_DYNCREATE(CConvertPage, CPropertyPage)

BEGIN_MESSAGE_MAP(CConvertPage, CPropertyPage)
ON_BN_CLICKED(IDC_CONVERT, OnConvert)
END_MESSAGE_MAP()

CConvertPage::CConvertPage() : CPropertyPage(IDD_CONVERT) {}

CConvertPage::~CConvertPage() = default;

void CConvertPage::DoDataExchange(CDataExchange* pDX) {
    CPropertyPage::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_STATUS, m_strStatus);
}

BOOL CConvertPage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    FillStorageDeviceList();
    return TRUE;
}

void CConvertPage::FillStorageDeviceList() {
    WIN32_FIND_DATAW entry;
    HANDLE search = platform::FindFirstFileW(u"\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    auto* pDeviceList = static_cast<CComboBox*>(GetDlgItem(IDC_DEVICE_LIST));
    pDeviceList->ResetContent();
    do {
        // Every mounted storage card is a root folder marked temporary.
        constexpr DWORD kCardFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;
        if ((entry.dwFileAttributes & kCardFolder) == kCardFolder) pDeviceList->AddString(entry.cFileName);
    } while (platform::FindNextFileW(search, &entry));
    platform::FindClose(search);
}

void CConvertPage::OnConvert() {
    auto* pDeviceList = static_cast<CComboBox*>(GetDlgItem(IDC_DEVICE_LIST));
    const int nSelected = pDeviceList->GetCurSel();
    if (nSelected == CB_ERR) {
        AfxMessageBox(u"Please select Storage Device above.");
        return;
    }
    m_strStatus = u"Converting...";
    ShowStatus();
    m_strDamaged.Empty();

    CString strDevice;
    pDeviceList->GetLBText(nSelected, strDevice);
    WCHAR szCardRoot[kPathUnits] = u"\\";
    const bool bRootFits = platform::WideAppend(szCardRoot, kPathUnits, strDevice);
    if (bRootFits) ConvertFolder(szCardRoot);

    m_strStatus = u"Finish";
    // A damaged file is left exactly as it is (converting it would keep only
    // what still decodes); the user is told which, to salvage them.
    if (!m_strDamaged.IsEmpty()) {
        m_strStatus += u"\r\nDamaged, left as they are:";
        m_strStatus += m_strDamaged;
    }
    ShowStatus();

    // Written after every conversion, whatever happened to single files; an
    // existing marker is replaced by an empty one.
    WCHAR szMarker[kPathUnits];
    if (bRootFits && BuildPath(szMarker, szCardRoot, u"quillane.x13")) {
        HANDLE hMarker = platform::CreateFileW(szMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (hMarker != INVALID_HANDLE_VALUE) platform::CloseHandle(hMarker);
    }
}

void CConvertPage::ConvertFolder(LPCWSTR pszFolder) {
    std::vector<std::unique_ptr<OpenFolder>> walk;
    auto root = std::make_unique<OpenFolder>();
    if (!platform::WideCopy(root->path, kPathUnits, pszFolder) || !root->Start()) return;
    walk.push_back(std::move(root));

    while (!walk.empty()) {
        OpenFolder& folder = *walk.back();
        // A parent's search goes on only once the sub-folder before it is
        // walked completely, and its search closed.
        if (!folder.entry_pending && !folder.Next()) {
            walk.pop_back();
            continue;
        }
        folder.entry_pending = false;
        const WIN32_FIND_DATAW& entry = folder.entry;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (IsSelfOrParent(entry.cFileName)) continue;
            auto sub = std::make_unique<OpenFolder>();
            if (BuildPath(sub->path, folder.path, entry.cFileName) && sub->Start()) walk.push_back(std::move(sub));
        } else {
            ConvertFile(folder.path, entry.cFileName);
        }
    }
}

void CConvertPage::ConvertFile(LPCWSTR pszFolder, LPCWSTR pszName) {
    WCHAR szPath[kPathUnits];
    if (!BuildPath(szPath, pszFolder, pszName)) return;

    m_strStatus = u"Converting ...\r\n";
    m_strStatus += pszFolder;
    m_strStatus += u"\\\r\n";
    m_strStatus += pszName;
    ShowStatus();
    platform::Sleep(100);

    // Exclusive access: a file that another program holds open is passed over.
    HANDLE hFile = platform::CreateFileW(szPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                         nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        if (platform::GetLastError() == ERROR_FILE_CORRUPT) {
            m_strDamaged += u"\r\n";
            m_strDamaged += szPath;
        }
        return;
    }
    // Through the filter the flush counts as a write, so the close compresses.
    platform::FlushFileBuffers(hFile);
    platform::CloseHandle(hFile);
}

void CConvertPage::ShowStatus() {
    UpdateData(FALSE);
    // The whole conversion runs inside the Convert button's handler: paint
    // the status box now, without letting any input in.
    GetDlgItem(IDC_STATUS)->UpdateWindow();
}
