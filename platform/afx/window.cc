// CWnd (see window.h).
#include "platform/afx/window.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include "platform/afx/data_exchange.h"
#include "platform/afx/qt_text.h"
#include "platform/afx/win_app.h"

IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)

CWnd::~CWnd() {
    // The application must never be left pointing at a main window that is gone.
    if (CWinApp* app = AfxGetApp(); app != nullptr && app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
}

CWnd* CWnd::GetDlgItem(int nID) const {
    if (m_widget.isNull()) return nullptr;
    for (const auto& control : m_controls) {
        if (control->GetDlgCtrlID() == nID) return control.get();
    }
    return nullptr;
}

void CWnd::SetWindowText(LPCWSTR text) {
    QWidget* widget = GetSafeHwnd();
    if (widget == nullptr) return;
    QString qtext = QStringFromWide(text);
    if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        line->setText(qtext);
    } else if (auto* box = qobject_cast<QPlainTextEdit*>(widget)) {
        box->setPlainText(qtext.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(qtext);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(qtext);
    } else {
        widget->setWindowTitle(qtext);
    }
}

void CWnd::GetWindowText(CString& text) const {
    QWidget* widget = GetSafeHwnd();
    QString qtext;
    if (widget == nullptr) {
        // no window, no text
    } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        qtext = line->text();
    } else if (auto* box = qobject_cast<QPlainTextEdit*>(widget)) {
        qtext = box->toPlainText().replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        qtext = button->text();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        qtext = label->text();
    } else {
        qtext = widget->windowTitle();
    }
    text = CString(WideFromQString(qtext));
}

void CWnd::UpdateWindow() {
    if (QWidget* widget = GetSafeHwnd()) widget->repaint();
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

void CWnd::Attach(QWidget* widget, int nID, DWORD dwStyle) {
    m_widget = widget;
    m_nID = nID;
    m_dwStyle = dwStyle;
}

void CWnd::Detach() {
    m_controls.clear();
    m_widget = nullptr;
}

CWnd* CWnd::AddDlgItem(std::unique_ptr<CWnd> control) {
    m_controls.push_back(std::move(control));
    return m_controls.back().get();
}
