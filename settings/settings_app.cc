// CSettingsApp (see settings_app.h).
#include "settings/settings_app.h"

#include "settings/convert_page.h"
#include "settings/exception_list.h"
#include "settings/exception_page.h"
#include "platform/core/utf.h"

BEGIN_MESSAGE_MAP(CSettingsApp, CWinApp)
END_MESSAGE_MAP()

// Message boxes are captioned with the program's own name.
CSettingsApp::CSettingsApp() : CWinApp(u"Quillane") {}

CSettingsApp::~CSettingsApp() = default;

CSettingsApp theApp;

BOOL CSettingsApp::InitInstance() {
    // The filter reads a stored value it cannot use as an empty list, and so
    // compresses every type: the user hears of it before anything else.
    if (const std::string warning = quillane::ExceptionListWarning(); !warning.empty()) {
        const std::u16string text = platform::Utf16FromUtf8Lossy(warning);
        AfxMessageBox(text.c_str());
    }
    CPropertySheet sheet(u"Quillane", nullptr, 0);
    CConvertPage convertPage;
    CExceptionPage exceptionPage;
    sheet.AddPage(&convertPage);
    sheet.AddPage(&exceptionPage);
    m_pMainWnd = &sheet;
    sheet.DoModal();
    // No message loop of our own: the program ends with the sheet.
    return FALSE;
}
