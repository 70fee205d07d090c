// CWnd: a window of the MFC-style classes, realised by one Qt widget. A
// dialog's window also holds the wrappers of its controls, reached by id
// with GetDlgItem, and exchanges data with them (UpdateData). Used by the
// property sheet, the pages and the controls. The widget belongs to its Qt
// parent; a CWnd only refers to it and notices when Qt destroys it.
#pragma once

#include <memory>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "platform/afx/cstring.h"
#include "platform/afx/message_map.h"

class CDataExchange;

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd() = default;
    ~CWnd() override;

    // The widget realising the window, or null while the window does not exist.
    QWidget* GetSafeHwnd() const { return m_widget.data(); }
    int GetDlgCtrlID() const { return m_nID; }
    DWORD GetStyle() const { return m_dwStyle; }

    // The control with `nID` among those made from this window's template,
    // or null when there is none (or no window).
    CWnd* GetDlgItem(int nID) const;

    // Text of the window: a control's text, or a top-level window's caption.
    // A multi-line edit control keeps its lines as "\r\n"-separated text,
    // as on the platform.
    void SetWindowText(LPCWSTR text);
    void GetWindowText(CString& text) const;

    // Paints the window now, while the caller keeps the thread: no input is
    // processed, so a long handler cannot be interrupted by the user.
    void UpdateWindow();

    // Copies the members into the controls (FALSE) or the controls into the
    // members (TRUE) through DoDataExchange. Returns TRUE.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // Makes `widget` the window with the given control id and styles. The
    // afx layer calls this when it creates a window.
    void Attach(QWidget* widget, int nID = 0, DWORD dwStyle = 0);
    // Forgets the widget and the control wrappers (the widgets stay with Qt).
    void Detach();
    // Adds a control wrapper made from the window's template.
    CWnd* AddDlgItem(std::unique_ptr<CWnd> control);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);

private:
    QPointer<QWidget> m_widget;
    int m_nID = 0;
    DWORD m_dwStyle = 0;
    std::vector<std::unique_ptr<CWnd>> m_controls;
};
