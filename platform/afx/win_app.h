// CWinApp: the application object of an MFC-style program. A program
// defines exactly one global object of a class derived from it; AfxWinMain,
// which the program's main calls, constructs the Qt application, runs the
// object's InitInstance, then its message loop only if InitInstance returned
// TRUE, and ends. Not a Qt application class: the Qt one lives inside
// AfxWinMain.
#pragma once

#include <string>

#include "platform/afx/message_map.h"

class CWnd;

class CWinApp : public CCmdTarget {
    DECLARE_DYNAMIC(CWinApp)
public:
    // `lpszAppName`: the name shown as the caption of message boxes; null
    // takes the program's file name without its extension.
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    // Base: TRUE.
    virtual BOOL InitInstance();
    // Base: the Qt event loop, until the last window closes.
    virtual int Run();
    // Base: 0, the program's exit code.
    virtual int ExitInstance();

    CWnd* m_pMainWnd = nullptr;  // not owned; cleared when that window goes
    LPCWSTR m_pszAppName = nullptr;

private:
    friend int AfxWinMain(int argc, char** argv);
    std::u16string m_appName;
};

// The program's one application object, or null before it is constructed.
CWinApp* AfxGetApp();
// Its main window, or null.
CWnd* AfxGetMainWnd();

// Runs the program as described above and returns its exit code.
int AfxWinMain(int argc, char** argv);
