// AfxMessageBox (see message_box.h).
#include "platform/afx/message_box.h"

#include <QMessageBox>

#include "platform/afx/qt_text.h"
#include "platform/afx/win_app.h"
#include "platform/afx/window.h"

int AfxMessageBox(LPCWSTR lpszText, UINT nType) {
    CWinApp* app = AfxGetApp();
    CWnd* owner = AfxGetMainWnd();
    const QMessageBox::Icon icon =
        (nType & 0xF0u) == MB_ICONEXCLAMATION ? QMessageBox::Warning : QMessageBox::NoIcon;
    QMessageBox box(icon, app != nullptr ? QStringFromWide(app->m_pszAppName) : QString(), QStringFromWide(lpszText),
                    QMessageBox::Ok, owner != nullptr ? owner->GetSafeHwnd() : nullptr);
    box.exec();
    return IDOK;
}
