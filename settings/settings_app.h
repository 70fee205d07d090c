// CSettingsApp: the settings program's application object. Its start-up
// builds the settings sheet with the Convert and Exception pages, shows it
// modally and ends the program when the sheet closes. There is exactly one,
// the global theApp.
#pragma once

#include "platform/afx/afx.h"

class CSettingsApp : public CWinApp {
public:
    CSettingsApp();
    ~CSettingsApp() override;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CSettingsApp theApp;
