// CSettingsApp (see settings_app.h).
#include "settings/settings_app.h"

#include "settings/convert_page.h"
#include "settings/exception_page.h"

BEGIN_MESSAGE_MAP(CSettingsApp, CWinApp)
END_MESSAGE_MAP()

// Message boxes are captioned with the program's own name.
CSettingsApp::CSettingsApp() : CWinApp(u"Quillane") {}

CSettingsApp::~CSettingsApp() = default;

CSettingsApp theApp;

BOOL CSettingsApp::InitInstance() {
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
