// AfxMessageBox: the program's message box. Shows the text with the
// application's name as caption, an exclamation icon (MB_ICONEXCLAMATION,
// the default) and a single OK button, owned by the main window when there
// is one, and returns IDOK when the user dismisses it.
#pragma once

#include "platform/afx/styles.h"

int AfxMessageBox(LPCWSTR lpszText, UINT nType = MB_OK | MB_ICONEXCLAMATION);
