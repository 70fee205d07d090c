// CWinApp and the program's start (see win_app.h).
#include "platform/afx/win_app.h"

#include <QApplication>
#include <QFileInfo>

#include "platform/afx/qt_text.h"

IMPLEMENT_DYNAMIC(CWinApp, CCmdTarget)

namespace {
CWinApp* g_app = nullptr;
}  // namespace

CWinApp::CWinApp(LPCWSTR lpszAppName) {
    if (lpszAppName != nullptr) m_appName = lpszAppName;
    m_pszAppName = m_appName.c_str();
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() { return QApplication::exec(); }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_app; }

CWnd* AfxGetMainWnd() { return g_app != nullptr ? g_app->m_pMainWnd : nullptr; }

int AfxWinMain(int argc, char** argv) {
    QApplication application(argc, argv);
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return 1;
    if (app->m_appName.empty() && argc > 0) {
        app->m_appName = WideFromQString(QFileInfo(QString::fromLocal8Bit(argv[0])).baseName());
        app->m_pszAppName = app->m_appName.c_str();
    }
    QApplication::setApplicationName(QStringFromWide(app->m_pszAppName));
    int exit_code = 0;
    if (app->InitInstance()) exit_code = app->Run();
    const int exit_instance = app->ExitInstance();
    return exit_code != 0 ? exit_code : exit_instance;
}
